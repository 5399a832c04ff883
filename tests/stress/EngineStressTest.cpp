// Kill-and-resume cycles: a library of real photos indexed by child
// processes (this test executable run again) that are killed at seeded
// random moments, as a logout, an out-of-memory kill or a power cut would,
// or that abort in a thread of their own that reads nothing, as a crash in
// the window would. Slow files (a reader slowed on purpose) make the kills
// land while one is read, again and again. Every child must end by its own
// hand with status 0, by our SIGKILL or by its own abort (a crash, or a
// sanitizer's report, fails the test), and the index a final run leaves must
// be the one an undisturbed run leaves: no photo costs a kill. A reading cut
// short by the machine's load waits and is read again, as in use, only
// sooner; the final run ends only once nothing waits, and fails on any file
// it leaves unread, saying why.
//
// VINTRELLE_STRESS_CYCLES sets the number of cycles (CI runs many under the
// sanitizers); VINTRELLE_STRESS_PHOTOS the size of the library.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "Core/Index/LibraryLock.h"
#include "Core/Media/MediaProcessor.h"
#include "core/Engine/EngineFixture.h"
#include "fixtures/ChildProcess.h"

using namespace enginetest;

namespace {

const char* const kChildLibrary = "VINTRELLE_STRESS_LIBRARY";
const char* const kChildReader = "VINTRELLE_STRESS_READER";      // the reader of suspects
const char* const kChildCrashOn = "VINTRELLE_STRESS_CRASH_ON";   // a file whose reading aborts
const char* const kChildSlowMs = "VINTRELLE_STRESS_SLOW_MS";     // how long a "slow" file takes
const char* const kChildAbortMs = "VINTRELLE_STRESS_ABORT_MS";   // another thread aborts then
const char* const kChildRetryMs = "VINTRELLE_STRESS_RETRY_MS";   // how long a reading cut short waits
const char* const kChildSettles = "VINTRELLE_STRESS_SETTLES";    // the run must leave nothing unread

int fromEnv(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::max(1, std::atoi(v)) : fallback;
}

// This executable again, running only the child test with the given
// settings (NAME=VALUE), its output appended to log.
pid_t spawnChild(const std::string& log, const std::vector<std::string>& settings) {
    return fixtures::spawnTestChild("EngineStress.Child", settings, log);
}

struct Outcome {
    bool exited = false;  // by its own hand
    int code = 0;         // exit status, or the signal that ended it
};

Outcome outcomeOf(int status) {
    if (WIFEXITED(status)) return {true, WEXITSTATUS(status)};
    return {false, WIFSIGNALED(status) ? WTERMSIG(status) : -1};
}

Outcome waitFor(pid_t pid) { return outcomeOf(fixtures::waitForChild(pid)); }

// The child's outcome when it has ended already.
std::optional<Outcome> ended(pid_t pid) {
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r != pid) return std::nullopt;
    return outcomeOf(status);
}

struct Counts {
    int64_t rows = 0, done = 0, failed = 0;
};

Counts countsOf(const std::string& databasePath) {
    Counts c;
    if (!fs::exists(databasePath)) return c;  // killed before it made one
    LibraryDB db(databasePath);
    db.db().forEachRow("SELECT COUNT(*), SUM(meta_done), SUM(meta_done=1 AND thumb=2) FROM assets", {},
                       [&](const Row& r) { c = {r.int64(0), r.int64(1), r.int64(2)}; });
    return c;
}

}  // namespace

// The child: opens the library as the application does and indexes it until idle.
TEST(EngineStress, Child) {
    const char* root = std::getenv(kChildLibrary);
    if (!root) GTEST_SKIP() << "runs only as a child of the tests below";
    if (const char* ms = std::getenv(kChildAbortMs)) {
        // A crash elsewhere in the process, far from any reading.
        std::thread([ms = std::atoi(ms)] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            std::abort();
        }).detach();
    }
    LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    LibraryLock lock(paths.dataDir);
    auto db = std::make_shared<LibraryDB>(paths.databasePath());
    auto rec = std::make_shared<Recorder>();
    ManualMainQueue mainQueue;
    LibraryEngine engine(paths, db, rec, mainQueue.poster());
    if (const char* reader = std::getenv(kChildReader)) engine.setReaderPath(reader);
    if (std::getenv(kChildRetryMs)) engine.setRetrySpacing(std::chrono::milliseconds(fromEnv(kChildRetryMs, 0)));
    const char* crashOn = std::getenv(kChildCrashOn);
    const int slowMs = fromEnv(kChildSlowMs, 0);
    engine.setReadHook([crash = crashOn ? std::string("/") + crashOn : std::string(), slowMs](const std::string& path) {
        if (!crash.empty() && path.ends_with(crash)) std::abort();
        if (slowMs > 0 && path.find("slow") != std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));
    });
    engine.start(false);
    // Files whose reading was cut short are read again by the engine's own
    // run: idle before that is not the end.
    for (;;) {
        mainQueue.waitAndDrain(20);
        if (!engine.isRunning() && mainQueue.drain() == 0 && rec->last == EngineStatus::idle() &&
            rec->halt != EngineHalt::readAgainLater)
            break;
    }
    // A run that ends with files left unread says why. One between kills
    // may meet a machine too loaded to start a reader through the stand-in
    // (a shell that cannot fork answers as a reader refusing the request);
    // the run that settles the library must leave nothing.
    for (EngineHalt why : rec->halts) std::cerr << "child " << ::getpid() << ": a run halted (" << int(why) << ")\n";
    if (std::getenv(kChildSettles)) {
        EXPECT_FALSE(rec->halt) << "files left unread (" << int(*rec->halt) << ")";
    }
    EXPECT_EQ(rec->offline, 0);
}

namespace {

// How long a "slow" file takes to read, here and in the reader of suspects:
// as long as a 12-megapixel HEIF on a busy machine.
constexpr int kSlowMs = 1500;
// How long a reading cut short (a reader the machine's load killed or kept
// past its deadline) waits before it is tried again: minutes in use, enough
// here for a passing squeeze to pass.
constexpr int kRetryMs = 2000;

// A library of real pictures of camera-like sizes, so that every file is
// decoded and scaled down, copied under many names, with a stand-in for the
// reader of suspects that is as slow on slow files and crashes on crashOn.
struct PhotoLibrary {
    fixtures::TempDir dir;
    std::string root = dir / "Lib";
    std::string log = dir / "children.log";
    std::string database = root + "/.vintrelle/library.sqlite";
    std::string crashOn;
    std::string reader;
    int64_t files = 0;

    explicit PhotoLibrary(int photos, std::string crashes = {}) : crashOn(std::move(crashes)) {
        std::vector<std::string> seeds;
        for (int k = 0; k < 3; ++k) {
            seeds.push_back(dir / ("seed" + std::to_string(k) + ".jpg"));
            EXPECT_TRUE(fixtures::makeJPEG(seeds.back(), 1600 + 200 * k, 1200 - 100 * k,
                                           {uint8_t(60 * k), 120, uint8_t(200 - 50 * k)}));
        }
        for (int i = 0; i < photos; ++i) {
            const std::string folder = root + "/" + std::to_string(2015 + i % 6);
            fs::create_directories(folder);
            fs::copy_file(seeds[size_t(i) % seeds.size()], folder + "/IMG_" + std::to_string(1000 + i) + ".jpg");
        }
        files = photos;
        std::string first = "case \"$3\" in *slow*) sleep " + std::to_string(kSlowMs / 1000.0) + " >/dev/null ;; esac";
        if (!crashOn.empty()) first += "\n" + whileReading("case \"$3\" in */" + crashOn + ") kill -SEGV $$ ;; esac");
        reader = standInReader(dir / "reader", first);
    }
    // Slow photos, read first (the pass goes by path, descending).
    void addSlow(int count) {
        fs::create_directories(root + "/2099");
        for (int i = 0; i < count; ++i)
            fs::copy_file(dir / "seed0.jpg", root + "/2099/slow_" + std::to_string(i) + ".jpg");
        files += count;
    }
    // Runs to be cut short read suspects through the stand-in; runs that
    // settle the library through the stand-in only when it must crash, else
    // through the real reader, started as the application starts it.
    std::vector<std::string> settings(int abortMs, bool settles, bool standIn) const {
        std::vector<std::string> out{std::string(kChildLibrary) + "=" + root,
                                     std::string(kChildSlowMs) + "=" + std::to_string(kSlowMs),
                                     std::string(kChildRetryMs) + "=" + std::to_string(kRetryMs)};
        if (standIn) out.push_back(std::string(kChildReader) + "=" + reader);
        if (settles) out.push_back(std::string(kChildSettles) + "=1");
        if (!crashOn.empty()) out.push_back(std::string(kChildCrashOn) + "=" + crashOn);
        if (abortMs > 0) out.push_back(std::string(kChildAbortMs) + "=" + std::to_string(abortMs));
        return out;
    }
    pid_t spawn(int abortMs = 0) const { return spawnChild(log, settings(abortMs, false, true)); }
    Outcome run() const { return waitFor(spawn()); }
    // An undisturbed run that must leave every file read.
    Outcome settle() const { return waitFor(spawnChild(log, settings(0, true, !crashOn.empty()))); }
    std::string childLog() const { return "children's output:\n" + fixtures::readFile(log); }
    std::map<std::string, std::pair<int64_t, int>> rows() const {  // path -> id, thumb state
        std::map<std::string, std::pair<int64_t, int>> out;
        if (!fs::exists(database)) return out;
        LibraryDB db(database);
        db.db().forEachRow("SELECT path, id, thumb FROM assets WHERE meta_done=1", {},
                           [&](const Row& r) { out[r.text(0)] = {r.int64(1), int(r.int64(2))}; });
        return out;
    }
    std::set<std::string> failed() const {
        std::set<std::string> out;
        for (const auto& [path, row] : rows())
            if (row.second == 2) out.insert(path);
        return out;
    }
    // Whether another process's command line names a file of this library
    // (containing `part`): a reader at work, or one that outlived its run.
    bool readerAt(const std::string& part = {}) const {
        for (const auto& e : fs::directory_iterator("/proc")) {
            const std::string cmdline = fixtures::readFile(e.path() / "cmdline");
            if (cmdline.find(root + "/" + part) != std::string::npos && cmdline.find("EngineStress") == std::string::npos)
                return true;
        }
        return false;
    }
    // The slow files waiting to be read again, by id.
    std::set<int64_t> slowFilesPending() const {
        std::set<int64_t> out;
        if (!fs::exists(database)) return out;
        LibraryDB db(database);
        db.db().run("UPDATE assets SET meta_done=0, thumb=0 WHERE path LIKE '2099/slow%'");
        db.db().forEachRow("SELECT id FROM assets WHERE path LIKE '2099/slow%'", {},
                           [&](const Row& r) { out.insert(r.int64(0)); });
        return out;
    }
    // Whether the child reads one of these slow files, itself or in a reader.
    bool readingSlow(const std::set<int64_t>& slow) const {
        std::istringstream in(fixtures::readFile(root + "/.vintrelle/reading-ids"));
        for (int64_t id; in >> id;)
            if (slow.count(id)) return true;
        return readerAt("2099/slow");
    }
};

}  // namespace

TEST(EngineStress, KilledAtRandomMomentsLosesNothing) {
    const int cycles = fromEnv("VINTRELLE_STRESS_CYCLES", 8);
    PhotoLibrary lib(fromEnv("VINTRELLE_STRESS_PHOTOS", 120));
    // Two files that no reader can decode, a clip, and two slow photos.
    fixtures::writeFile(lib.root + "/2015/broken.jpg", "\xff\xd8 not a picture at all");
    fixtures::writeFile(lib.root + "/2016/empty-header.heic", std::string(64, '\0'));
    fixtures::ClipOptions clip;
    clip.duration = 0.5;
    ASSERT_TRUE(fixtures::makeClip(lib.root + "/2017/clip.mp4", clip));
    lib.files += 3;
    lib.addSlow(2);

    // An undisturbed run: what every later index must look like, and how long a run takes.
    const auto t0 = std::chrono::steady_clock::now();
    Outcome o = lib.settle();
    ASSERT_TRUE(o.exited && o.code == 0) << "undisturbed run ended with " << o.code << "\n" << lib.childLog();
    const double runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const Counts reference = countsOf(lib.database);
    ASSERT_EQ(reference.rows, lib.files);
    ASSERT_EQ(reference.done, lib.files);
    const std::set<std::string> referenceFailed = lib.failed();
    ASSERT_EQ(referenceFailed, (std::set<std::string>{"2015/broken.jpg", "2016/empty-header.heic"}));

    // In each round of eight runs: four killed while a slow file is read
    // (as a user who quits again and again while a big import starts), two
    // that abort in a thread that reads nothing, and two killed at any
    // moment, the last one from no index at all.
    std::mt19937 rng(20240611);
    std::uniform_real_distribution<double> moment(0.0, runSeconds * 1.1);
    std::uniform_real_distribution<double> intoTheSlowRead(0.0, kSlowMs / 1000.0 * 0.8);
    int killed = 0, aborted = 0, whileSlow = 0;
    for (int c = 0; c < cycles && !HasFailure(); ++c) {
        const int step = c % 8;
        const bool targeted = step < 4, aborts = step == 4 || step == 6;
        // Half-indexed again: from nothing every few cycles, else with every
        // file waiting to be read once the last run finished them all.
        if (step == 7) {
            fs::remove_all(lib.root + "/.vintrelle");
        } else if (countsOf(lib.database).done == lib.files) {
            LibraryDB db(lib.database);
            db.db().run("UPDATE assets SET meta_done=0, thumb=0");
        }
        const std::set<int64_t> slow = targeted ? lib.slowFilesPending() : std::set<int64_t>{};
        const double at = moment(rng);
        const pid_t child = lib.spawn(aborts ? std::max(1, int(at * 1000)) : 0);
        ASSERT_GT(child, 0);
        std::optional<Outcome> early;
        if (targeted) {
            while (!(early = ended(child)) && !lib.readingSlow(slow))
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!early) std::this_thread::sleep_for(std::chrono::duration<double>(intoTheSlowRead(rng)));
            whileSlow += !early;
        } else if (!aborts) {
            std::this_thread::sleep_for(std::chrono::duration<double>(at));
        }
        if (!aborts && !early) ::kill(child, SIGKILL);
        o = early ? *early : waitFor(child);
        const int expected = aborts ? SIGABRT : SIGKILL;
        if (o.exited) EXPECT_EQ(o.code, 0) << "cycle " << c << " ended with status " << o.code << "\n" << lib.childLog();
        else EXPECT_EQ(o.code, expected) << "cycle " << c << " ended by signal " << o.code << "\n" << lib.childLog();
        killed += !o.exited && !aborts;
        aborted += !o.exited && aborts;
        // No good photo is stored as unreadable, not even for a while.
        const std::set<std::string> failed = lib.failed();
        EXPECT_TRUE(std::includes(referenceFailed.begin(), referenceFailed.end(), failed.begin(), failed.end()))
            << "cycle " << c << " left " << ::testing::PrintToString(failed) << " failed";
    }
    std::cout << "[ stress   ] " << cycles << " cycles, " << killed << " killed (" << whileSlow
              << " while a slow file was read) and " << aborted << " aborted mid-run\n";

    // Rows saved before the last kill keep their ids.
    const auto saved = lib.rows();
    o = lib.settle();
    ASSERT_TRUE(o.exited && o.code == 0) << "final run ended with " << o.code << "\n" << lib.childLog();
    const Counts after = countsOf(lib.database);
    EXPECT_EQ(after.rows, lib.files);
    EXPECT_EQ(after.done, lib.files) << lib.childLog();
    EXPECT_EQ(lib.failed(), referenceFailed);
    const auto rows = lib.rows();
    for (const auto& [path, row] : saved) EXPECT_EQ(rows.at(path).first, row.first) << path;
    EXPECT_FALSE(fs::exists(lib.root + "/.vintrelle/read-suspects"));
    // Thumbnails the kills cut short while they were written are gone.
    for (const auto& e : fs::recursive_directory_iterator(lib.root + "/.vintrelle/thumbs"))
        EXPECT_EQ(e.path().filename().string().find(".jpg."), std::string::npos) << "left behind: " << e.path();
    // Readers of killed runs end with them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (lib.readerAt() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(lib.readerAt());
}

// A file whose reading really crashes, here and in the reader of suspects,
// costs one crash of the process and is then set aside, and no other file.
TEST(EngineStress, FileThatCrashesTheReaderIsSetAside) {
    const std::string crasher = "IMG_1010.jpg";
    PhotoLibrary lib(24, crasher);
    Outcome o = lib.run();
    ASSERT_FALSE(o.exited) << lib.childLog();
    ASSERT_EQ(o.code, SIGABRT) << lib.childLog();
    o = lib.settle();
    ASSERT_TRUE(o.exited && o.code == 0) << "after the crash: " << o.code << "\n" << lib.childLog();
    const auto rows = lib.rows();
    ASSERT_EQ(int64_t(rows.size()), lib.files);
    for (const auto& [path, row] : rows) EXPECT_EQ(row.second, path.ends_with(crasher) ? 2 : 1) << path;
}

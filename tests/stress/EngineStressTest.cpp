// Kill-and-resume cycles: a library of real photos indexed by child
// processes (this test executable run again) that are killed at seeded
// random moments, as a logout, an out-of-memory kill or a power cut would.
// Every child must end by its own hand with status 0 or by our SIGKILL (a
// crash, or a sanitizer's report, fails the test), and the index a final
// run leaves must be the one an undisturbed run leaves.
//
// VINTRELLE_STRESS_CYCLES sets the number of cycles (CI runs many under the
// sanitizers); VINTRELLE_STRESS_PHOTOS the size of the library.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <thread>

#include "Core/Index/LibraryLock.h"
#include "Core/Media/MediaProcessor.h"
#include "core/Engine/EngineFixture.h"

extern char** environ;

using namespace enginetest;

namespace {

const char* const kChildLibrary = "VINTRELLE_STRESS_LIBRARY";
const char* const kChildCrashOn = "VINTRELLE_STRESS_CRASH_ON";

int fromEnv(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::max(1, std::atoi(v)) : fallback;
}

// This executable again, running only the child test on the library at root,
// its output appended to log. crashOn names a file whose reading aborts it.
pid_t spawnChild(const std::string& root, const std::string& log, const std::string& crashOn = {}) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.push_back(std::string(kChildLibrary) + "=" + root);
    if (!crashOn.empty()) env.push_back(std::string(kChildCrashOn) + "=" + crashOn);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string exe = "/proc/self/exe", filter = "--gtest_filter=EngineStress.Child";
    char* argv[] = {exe.data(), filter.data(), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    pid_t pid = -1;
    if (::posix_spawn(&pid, exe.c_str(), &files, nullptr, argv, envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&files);
    return pid;
}

struct Outcome {
    bool exited = false;  // by its own hand
    int code = 0;         // exit status, or the signal that ended it
};

Outcome waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return {true, WEXITSTATUS(status)};
    return {false, WIFSIGNALED(status) ? WTERMSIG(status) : -1};
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
    LibraryPaths paths = LibraryPaths::resolve(root);
    paths.prepare();
    LibraryLock lock(paths.dataDir);
    auto db = std::make_shared<LibraryDB>(paths.databasePath());
    auto rec = std::make_shared<Recorder>();
    ManualMainQueue mainQueue;
    LibraryEngine engine(paths, db, rec, mainQueue.poster());
    if (const char* crashOn = std::getenv(kChildCrashOn)) {
        engine.setReadHook([name = std::string("/") + crashOn](const std::string& path) {
            if (path.ends_with(name)) std::abort();
        });
    }
    engine.start(false);
    for (;;) {
        mainQueue.waitAndDrain(20);
        if (!engine.isRunning() && mainQueue.drain() == 0 && rec->last == EngineStatus::idle()) break;
    }
    EXPECT_EQ(rec->offline, 0);
}

namespace {

// A library of real pictures of camera-like sizes, so that every file is
// decoded and scaled down, copied under many names.
struct PhotoLibrary {
    fixtures::TempDir dir;
    std::string root = dir / "Lib";
    std::string log = dir / "children.log";
    std::string database = root + "/.vintrelle/library.sqlite";
    int64_t files = 0;

    explicit PhotoLibrary(int photos) {
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
    }
    Outcome run(const std::string& crashOn = {}) { return waitFor(spawnChild(root, log, crashOn)); }
    std::string childLog() const { return "children's output:\n" + fixtures::readFile(log); }
    std::map<std::string, std::pair<int64_t, int>> rows() const {  // path -> id, thumb state
        std::map<std::string, std::pair<int64_t, int>> out;
        if (!fs::exists(database)) return out;
        LibraryDB db(database);
        db.db().forEachRow("SELECT path, id, thumb FROM assets WHERE meta_done=1", {},
                           [&](const Row& r) { out[r.text(0)] = {r.int64(1), int(r.int64(2))}; });
        return out;
    }
};

}  // namespace

TEST(EngineStress, KilledAtRandomMomentsLosesNothing) {
    const int cycles = fromEnv("VINTRELLE_STRESS_CYCLES", 4);
    PhotoLibrary lib(fromEnv("VINTRELLE_STRESS_PHOTOS", 120));
    // Two files that no reader can decode, and a clip.
    fixtures::writeFile(lib.root + "/2015/broken.jpg", "\xff\xd8 not a picture at all");
    fixtures::writeFile(lib.root + "/2016/empty-header.heic", std::string(64, '\0'));
    fixtures::ClipOptions clip;
    clip.duration = 0.5;
    ASSERT_TRUE(fixtures::makeClip(lib.root + "/2017/clip.mp4", clip));
    lib.files += 3;

    // An undisturbed run: what every later index must look like, and how long a run takes.
    const auto t0 = std::chrono::steady_clock::now();
    Outcome o = lib.run();
    ASSERT_TRUE(o.exited && o.code == 0) << "undisturbed run ended with " << o.code << "\n" << lib.childLog();
    const double runSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const Counts reference = countsOf(lib.database);
    ASSERT_EQ(reference.rows, lib.files);
    ASSERT_EQ(reference.done, lib.files);
    ASSERT_EQ(reference.failed, 2);

    std::mt19937 rng(20240611);
    std::uniform_real_distribution<double> moment(0.0, runSeconds * 1.1);
    int killed = 0;
    for (int c = 0; c < cycles && !HasFailure(); ++c) {
        // Half-indexed again: from nothing every few cycles, else with every
        // file waiting to be read once the last run finished them all.
        if (c % 4 == 3) {
            fs::remove_all(lib.root + "/.vintrelle");
        } else if (countsOf(lib.database).done == lib.files) {
            LibraryDB db(lib.database);
            db.db().run("UPDATE assets SET meta_done=0, thumb=0");
        }
        const pid_t child = spawnChild(lib.root, lib.log);
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(std::chrono::duration<double>(moment(rng)));
        ::kill(child, SIGKILL);
        o = waitFor(child);
        if (o.exited) EXPECT_EQ(o.code, 0) << "cycle " << c << " ended with status " << o.code << "\n" << lib.childLog();
        else EXPECT_EQ(o.code, SIGKILL) << "cycle " << c << " ended by signal " << o.code << "\n" << lib.childLog();
        killed += !o.exited;
    }
    std::cout << "[ stress   ] " << cycles << " cycles, " << killed << " killed mid-run\n";

    // Rows saved before the last kill keep their ids.
    const auto saved = lib.rows();
    o = lib.run();
    ASSERT_TRUE(o.exited && o.code == 0) << "final run ended with " << o.code << "\n" << lib.childLog();
    const Counts after = countsOf(lib.database);
    EXPECT_EQ(after.rows, lib.files);
    EXPECT_EQ(after.done, lib.files);
    EXPECT_EQ(after.failed, reference.failed);
    const auto rows = lib.rows();
    for (const auto& [path, row] : saved) EXPECT_EQ(rows.at(path).first, row.first) << path;
}

// A file whose reading crashes the process is set aside after at most two
// crashes (the second while it is read alone), and costs no other file.
TEST(EngineStress, FileThatCrashesTheReaderIsSetAside) {
    PhotoLibrary lib(24);
    const std::string crasher = "IMG_1010.jpg";
    int crashes = 0;
    Outcome o;
    while ((o = lib.run(crasher)), !o.exited && crashes < 3) {
        ASSERT_EQ(o.code, SIGABRT) << lib.childLog();
        ++crashes;
    }
    ASSERT_TRUE(o.exited && o.code == 0) << "after " << crashes << " crashes: " << o.code << "\n" << lib.childLog();
    EXPECT_GE(crashes, 1);
    EXPECT_LE(crashes, 2);
    const auto rows = lib.rows();
    ASSERT_EQ(int64_t(rows.size()), lib.files);
    for (const auto& [path, row] : rows) EXPECT_EQ(row.second, path.ends_with(crasher) ? 2 : 1) << path;
}

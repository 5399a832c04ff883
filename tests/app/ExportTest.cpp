// Exported copies: their names, kept times, never an overwrite (also between
// exports running at once), failures counted, and nothing partial left by a
// failed or stopped copy.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "ActionsFixture.h"
#include "App/FileExport.h"
#include "fixtures/MediaFixtures.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

void setMtime(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct timespec mtimeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mtim;
}

// Exports the ids into `dest` and waits for the copies to end.
void exportInto(ActionsModel& m, const std::vector<int64_t>& ids, const std::string& dest) {
    m.desktop->answer = dest;
    m->exportCopies(ids);
    ASSERT_TRUE(spinUntil([&] { return m->runningExports() == 0; }, 20000));
}

TEST(Export, NumberedNames) {
    const std::pair<const char*, const char*> rows[] = {
        {"IMG_0042.JPG", "IMG_0042 2.JPG"}, {"README", "README 2"},       {".profile", ".profile 2"},
        {"clip.tar.gz", "clip.tar 2.gz"},   {"name.", "name. 2"},         {"caf\xe9.jpg", "caf\xe9 2.jpg"},
    };
    for (auto [name, second] : rows) EXPECT_EQ(numberedName(name, 2), second) << name;
    EXPECT_EQ(numberedName("IMG_0042.JPG", 3), "IMG_0042 3.JPG");
}

TEST(Export, CopiesUnderFreeNamesWithTheirTimes) {
    FileLibrary lib({makeAsset(1, "2023/IMG_0001.JPG", 100), makeAsset(2, "2024/IMG_0001.JPG", 200),
                     makeAsset(3, "2025/IMG_0001.JPG", 300), makeAsset(4, "live/IMG_0100.HEIC", 400),
                     makeAsset(5, "notes/README", 500)});
    ASSERT_TRUE(fixtures::makeJPEG(lib.root() + "/2023/IMG_0001.JPG", 64, 48));
    fixtures::writeFile(lib.root() + "/live/IMG_0100.MOV", "movie");
    lib.setLiveVideo(4, "live/IMG_0100.MOV");
    setMtime(lib.root() + "/2023/IMG_0001.JPG", 1500000000);
    setMtime(lib.root() + "/live/IMG_0100.MOV", 1400000000);
    fixtures::TempDir dest;
    fixtures::writeFile(dest / "README", "the user's own");
    ActionsModel m(lib.store);
    const uint64_t before = lib.checksum();

    exportInto(m, {1, 2, 3, 4, 5, 999}, dest.path());
    ASSERT_EQ(m.desktop->asked.size(), 1u);
    EXPECT_EQ(m.desktop->asked[0].title, "Choose where to copy 5 items.");  // the movie rides with its photo
    EXPECT_EQ(m.desktop->asked[0].accept, "Export");
    EXPECT_EQ(filesIn(dest.path()), (std::vector<std::string>{"IMG_0001 2.JPG", "IMG_0001 3.JPG", "IMG_0001.JPG",
                                                              "IMG_0100.HEIC", "IMG_0100.MOV", "README",
                                                              "README 2"}));
    const std::pair<const char*, const char*> copies[] = {
        {"IMG_0001.JPG", "2023/IMG_0001.JPG"}, {"IMG_0001 2.JPG", "2024/IMG_0001.JPG"},
        {"IMG_0001 3.JPG", "2025/IMG_0001.JPG"}, {"IMG_0100.MOV", "live/IMG_0100.MOV"}, {"README 2", "notes/README"}};
    for (auto [copy, source] : copies)
        EXPECT_EQ(fixtures::readFile(dest / copy), fixtures::readFile(lib.root() + "/" + source)) << copy;
    EXPECT_EQ(fixtures::readFile(dest / "README"), "the user's own");
    for (auto [copy, source] : {std::pair{"IMG_0001.JPG", "2023/IMG_0001.JPG"}, {"IMG_0100.MOV", "live/IMG_0100.MOV"}}) {
        const auto a = mtimeOf(dest / copy), b = mtimeOf(lib.root() + "/" + source);
        EXPECT_TRUE(a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec) << copy;
    }
    // All copied: the folder is shown, no message.
    ASSERT_EQ(m.desktop->shown.size(), 1u);
    EXPECT_EQ(m.desktop->shown[0], QList<QUrl>{fileUrl(dest.path())});
    EXPECT_FALSE(m->errorMessage());
    EXPECT_EQ(lib.checksum(), before);

    // A cancelled chooser copies nothing.
    m.desktop->answer.reset();
    m->exportCopies({1});
    EXPECT_EQ(m->runningExports(), 0u);
    EXPECT_EQ(filesIn(dest.path()).size(), 7u);
}

TEST(Export, ConcurrentExportsNeverOverwrite) {
    std::vector<Asset> assets;
    for (int64_t i = 1; i <= 6; ++i) assets.push_back(makeAsset(i, "d" + std::to_string(i) + "/a.jpg", double(i)));
    FileLibrary lib(assets);
    fixtures::TempDir dest;
    ActionsModel m(lib.store);
    m.desktop->answer = dest.path();
    const std::vector<int64_t> ids = {1, 2, 3, 4, 5, 6};
    m->exportCopies(ids);
    m->exportCopies(ids);
    ASSERT_TRUE(spinUntil([&] { return m->runningExports() == 0; }, 20000));
    const auto names = filesIn(dest.path());
    ASSERT_EQ(names.size(), 12u);
    std::map<std::string, int> copiesOf;
    for (const std::string& name : names) ++copiesOf[fixtures::readFile(dest / name)];
    for (const Asset& a : assets) EXPECT_EQ(copiesOf[fixtures::readFile(lib.root() + "/" + a.path)], 2) << a.path;
}

TEST(Export, OneUnreadableOfTenLeavesNine) {
    std::vector<Asset> assets;
    std::vector<int64_t> ids;
    for (int64_t i = 1; i <= 10; ++i) {
        assets.push_back(makeAsset(i, "p" + std::to_string(i) + ".jpg", double(i)));
        ids.push_back(i);
    }
    FileLibrary lib(assets);
    fs::remove(lib.root() + "/p4.jpg");  // gone from the drive, still in the index
    fixtures::TempDir dest;
    ActionsModel m(lib.store);
    exportInto(m, ids, dest.path());
    EXPECT_EQ(filesIn(dest.path()).size(), 9u);
    EXPECT_EQ(m->errorMessage(), std::optional<std::string>("1 item could not be copied."));
    EXPECT_TRUE(m.desktop->shown.empty());
}

TEST(Export, AFailedWriteLeavesNothingPartial) {
    FileLibrary lib({makeAsset(1, "big.mov", 1), makeAsset(2, "small.jpg", 2)});
    fixtures::writeFile(lib.root() + "/big.mov", std::string(3 << 20, 'b'));
    fixtures::TempDir dest;
    ActionsModel m(lib.store);
    // The drive fills up after 1 MiB of any one file.
    struct rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    exportInto(m, {1, 2}, dest.path());
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);

    EXPECT_EQ(filesIn(dest.path()), std::vector<std::string>{"small.jpg"});
    EXPECT_EQ(m->errorMessage(), std::optional<std::string>("1 item could not be copied."));
}

TEST(Export, StoppedAtQuitLeavesOnlyWholeFiles) {
    std::vector<Asset> assets;
    std::vector<int64_t> ids;
    for (int64_t i = 1; i <= 12; ++i) assets.push_back(makeAsset(i, "v" + std::to_string(i) + ".mov", double(i)));
    FileLibrary lib(assets);
    for (const Asset& a : assets) {
        fixtures::writeFile(lib.root() + "/" + a.path, std::string(size_t(4) << 20, char('a' + a.id)));
        ids.push_back(a.id);
    }
    fixtures::TempDir dest;
    ActionsModel m(lib.store);
    m.desktop->answer = dest.path();
    m->exportCopies(ids);
    ASSERT_TRUE(spinUntil([&] { return !fs::is_empty(dest.path()); }, 20000));
    m->stopFileWork();
    EXPECT_EQ(m->runningExports(), 0u);
    QCoreApplication::processEvents();

    for (const std::string& name : filesIn(dest.path())) {
        const std::string source = lib.root() + "/" + name;
        ASSERT_TRUE(fs::exists(source)) << "a stray file: " << name;
        EXPECT_EQ(fs::file_size(dest / name), fs::file_size(source)) << name;
    }
    // A stopped export reports nothing.
    EXPECT_TRUE(m.desktop->shown.empty());
    EXPECT_FALSE(m->errorMessage());
}

TEST(Export, CopyOfWhatIsNotAFile) {
    fixtures::TempDir from, dest;
    fs::create_directories(from / "folder.jpg");
    ASSERT_EQ(::mkfifo((from / "pipe.jpg").c_str(), 0600), 0);  // would block a reader forever
    for (const char* name : {"folder.jpg", "pipe.jpg", "missing.jpg"})
        EXPECT_EQ(copyIntoFolder(from / name, dest.path()).outcome, CopyResult::Outcome::failed) << name;
    EXPECT_TRUE(fs::is_empty(dest.path()));
    std::stop_source stop;
    stop.request_stop();
    fixtures::writeFile(from / "a.jpg", "a");
    EXPECT_EQ(copyIntoFolder(from / "a.jpg", dest.path(), stop.get_token()).outcome, CopyResult::Outcome::stopped);
    EXPECT_TRUE(fs::is_empty(dest.path()));
}

}  // namespace

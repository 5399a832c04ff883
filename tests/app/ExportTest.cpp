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

std::pair<time_t, long> mtimeOf(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return {st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

// Files p1 … pN of their own sizes, exported as a whole into `dest`.
struct Export {
    std::vector<Asset> assets;
    std::vector<int64_t> ids;
    std::unique_ptr<FileLibrary> lib;
    fixtures::TempDir dest;
    std::unique_ptr<ActionsModel> m;
    explicit Export(int n, size_t bytes = 0) {
        for (int64_t i = 1; i <= n; ++i) {
            assets.push_back(makeAsset(i, "d" + std::to_string(i) + "/p.mov", double(i)));
            ids.push_back(i);
        }
        lib = std::make_unique<FileLibrary>(assets);
        if (bytes)
            for (const Asset& a : assets) fixtures::writeFile(source(a), std::string(bytes, char('a' + a.id)));
        m = std::make_unique<ActionsModel>(lib->store);
        m->desktop->answer = dest.path();
    }
    std::string source(const Asset& a) const { return lib->root() + "/" + a.path; }
    bool run(int times = 1) {
        for (int i = 0; i < times; ++i) (*m)->exportCopies(ids);
        return spinUntil([&] { return (*m)->runningExports() == 0; }, 20000);
    }
};

TEST(Export, NumberedNames) {
    const std::pair<const char*, const char*> rows[] = {
        {"IMG_0042.JPG", "IMG_0042 2.JPG"}, {"README", "README 2"}, {".profile", ".profile 2"},
        {"clip.tar.gz", "clip.tar 2.gz"},   {"name.", "name. 2"},
    };
    for (auto [name, second] : rows) EXPECT_EQ(numberedName(name, 2), second) << name;
}

TEST(Export, CopiesUnderFreeNamesWithTheirTimes) {
    FileLibrary lib({makeAsset(1, "2023/IMG_0001.JPG", 100), makeAsset(2, "2024/IMG_0001.JPG", 200),
                     makeAsset(3, "2025/IMG_0001.JPG", 300), makeAsset(4, "live/IMG_0100.HEIC", 400),
                     makeAsset(5, "notes/README", 500)});
    ASSERT_TRUE(fixtures::makeJPEG(lib.root() + "/2023/IMG_0001.JPG", 64, 48));
    fixtures::writeFile(lib.root() + "/live/IMG_0100.MOV", "movie");
    lib.setLiveVideo(4, "live/IMG_0100.MOV");
    const struct timespec times[2] = {{1500000000, 0}, {1500000000, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (lib.root() + "/2023/IMG_0001.JPG").c_str(), times, 0), 0);
    fixtures::TempDir dest;
    fixtures::writeFile(dest / "README", "the user's own");
    ActionsModel m(lib.store);
    m.desktop->answer = dest.path();
    m->exportCopies({1, 2, 3, 4, 5, 999});
    ASSERT_TRUE(spinUntil([&] { return m->runningExports() == 0; }));

    ASSERT_EQ(m.desktop->asked.size(), 1u);
    EXPECT_EQ(m.desktop->asked[0].title, "Choose where to copy 5 items.");  // the movie rides with its photo
    const std::pair<const char*, const char*> copies[] = {
        {"IMG_0001.JPG", "2023/IMG_0001.JPG"}, {"IMG_0001 2.JPG", "2024/IMG_0001.JPG"},
        {"IMG_0001 3.JPG", "2025/IMG_0001.JPG"}, {"IMG_0100.HEIC", "live/IMG_0100.HEIC"},
        {"IMG_0100.MOV", "live/IMG_0100.MOV"},  {"README 2", "notes/README"}};
    for (auto [copy, source] : copies) {
        EXPECT_EQ(fixtures::readFile(dest / copy), fixtures::readFile(lib.root() + "/" + source)) << copy;
        EXPECT_EQ(mtimeOf(dest / copy), mtimeOf(lib.root() + "/" + source)) << copy;
    }
    EXPECT_EQ(fixtures::readFile(dest / "README"), "the user's own");
    EXPECT_EQ(filesIn(dest.path()).size(), 7u);
    // All copied: the folder is shown, and there is no message.
    EXPECT_EQ(m.desktop->shown, std::vector<QList<QUrl>>{{fileUrl(dest.path())}});
    EXPECT_FALSE(m->errorMessage());
}

TEST(Export, StartsWhereTheLastExportWent) {
    Export e(2);
    RecordingDesktop& desktop = *e.m->desktop;
    fixtures::TempDir other;
    const std::pair<std::optional<std::string>, std::string> rounds[] = {
        {std::nullopt, ""},                // cancelled: nothing remembered
        {other.path(), ""},                // the first export starts where the chooser likes
        {e.dest.path(), other.path()},     // then where the last one went
        {std::nullopt, e.dest.path()},
    };
    for (const auto& [answer, start] : rounds) {
        desktop.answer = answer;
        ASSERT_TRUE(e.run());
        EXPECT_EQ(desktop.asked.back().startFolder, start);
        EXPECT_TRUE(desktop.asked.back().mayCreate);
        EXPECT_EQ(desktop.asked.back().accept, "Export");
    }
    EXPECT_EQ(filesIn(other.path()).size(), 2u);

    // A later run of the application starts there too.
    AppModel later(e.m->settings.open());
    later.setDesktopServices(e.m->desktop);
    later.setStore(e.lib->store);
    desktop.answer = std::nullopt;
    later.exportCopies(e.ids);
    EXPECT_EQ(desktop.asked.back().startFolder, e.dest.path());
    later.setStore(nullptr);
}

TEST(Export, ConcurrentExportsNeverOverwrite) {
    Export e(6);
    ASSERT_TRUE(e.run(2));
    std::map<std::string, int> copiesOf;
    for (const std::string& name : filesIn(e.dest.path())) ++copiesOf[fixtures::readFile(e.dest / name)];
    EXPECT_EQ(copiesOf.size(), 6u);
    for (const Asset& a : e.assets) EXPECT_EQ(copiesOf[fixtures::readFile(e.source(a))], 2) << a.path;
}

TEST(Export, OneUnreadableOfTenLeavesNine) {
    Export e(10);
    fs::remove(e.source(e.assets[3]));  // gone from the drive, still in the index
    ASSERT_TRUE(e.run());
    EXPECT_EQ(filesIn(e.dest.path()).size(), 9u);
    EXPECT_EQ((*e.m)->errorMessage(), std::optional<std::string>("1 item could not be copied."));
    EXPECT_TRUE(e.m->desktop->shown.empty());
}

TEST(Export, AFailedWriteLeavesNothingPartial) {
    Export e(2);
    fixtures::writeFile(e.source(e.assets[0]), std::string(3 << 20, 'b'));
    // The drive takes no more than 1 MiB of any one file.
    struct rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    const auto savedSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 1 << 20;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool ended = e.run();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedSignal);
    ASSERT_TRUE(ended);
    EXPECT_EQ(filesIn(e.dest.path()), std::vector<std::string>{"p.mov"});
    EXPECT_EQ(fixtures::readFile(e.dest / "p.mov"), fixtures::readFile(e.source(e.assets[1])));
    EXPECT_EQ((*e.m)->errorMessage(), std::optional<std::string>("1 item could not be copied."));
}

TEST(Export, StoppedAtQuitLeavesOnlyWholeFiles) {
    Export e(12, size_t(4) << 20);
    (*e.m)->exportCopies(e.ids);
    ASSERT_TRUE(spinUntil([&] { return !fs::is_empty(e.dest.path()); }, fixtures::patientMs));
    (*e.m)->stopFileWork();
    EXPECT_EQ((*e.m)->runningExports(), 0u);
    QCoreApplication::processEvents();
    for (const std::string& name : filesIn(e.dest.path()))
        EXPECT_EQ(fs::file_size(e.dest / name), size_t(4) << 20) << name;
    EXPECT_TRUE(e.m->desktop->shown.empty());  // a stopped export reports nothing
    EXPECT_FALSE((*e.m)->errorMessage());
}

TEST(Export, OnlyRegularFilesAreCopied) {
    fixtures::TempDir from, dest;
    fs::create_directories(from / "folder.jpg");
    ASSERT_EQ(::mkfifo((from / "pipe.jpg").c_str(), 0600), 0);  // would hold a reader forever
    for (const char* name : {"folder.jpg", "pipe.jpg", "missing.jpg"})
        EXPECT_EQ(copyIntoFolder(from / name, dest.path()).outcome, CopyResult::Outcome::failed) << name;
    EXPECT_TRUE(fs::is_empty(dest.path()));
}

}  // namespace

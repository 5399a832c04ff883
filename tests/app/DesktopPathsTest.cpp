// Drive names read from paths, and the libraries found beside a portable copy
// of the application.

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>

#include "App/PortableLibraries.h"
#include "App/VolumeName.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
namespace fs = std::filesystem;

TEST(VolumeName, NamesTheDriveOfEachMountRoot) {
    struct Case {
        const char* path;
        std::optional<std::string> name;
        std::optional<std::string> root;
    } cases[] = {
        {"/media/alice/Photo Disk/Pictures", "Photo Disk", "/media/alice/Photo Disk"},
        {"/media/alice/Photo Disk", "Photo Disk", "/media/alice/Photo Disk"},
        {"/run/media/alice/Archive/2021", "Archive", "/run/media/alice/Archive"},
        {"/run/media/bob/Archive", "Archive", "/run/media/bob/Archive"},
        {"/media/Archive/x", "Archive", "/media/Archive"},  // a drive mounted straight under /media
        {"/mnt/backup/Photos", "backup", "/mnt/backup"},
        {"//mnt//backup/", "backup", "/mnt/backup"},
        {"/Volumes/Photos/Lib", "Photos", "/Volumes/Photos"},
        {"Volumes/Archive/x", "Archive", "/Volumes/Archive"},  // only the order of the pieces counts
        {"/media", std::nullopt, std::nullopt},
        {"/media/alice", std::nullopt, std::nullopt},  // the user's mount folder, no drive yet
        {"/run/media/alice", std::nullopt, std::nullopt},
        {"/mnt", std::nullopt, std::nullopt},
        {"/home/alice/Pictures", std::nullopt, std::nullopt},
        {"/", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(volumeName(c.path, "alice"), c.name) << c.path;
        EXPECT_EQ(volumeRoot(c.path, "alice"), c.root) << c.path;
    }
}

namespace {

void mark(const std::string& dir) { fs::create_directories(dir + "/.vintrelle"); }

}  // namespace

TEST(PortableLibraries, SearchesUpToFourLevelsAndTheirEntries) {
    fixtures::TempDir tmp;
    // tmp/a/b/c/d/app holds the executable; the search covers app, d, c, b.
    const std::string a = tmp / "a", b = a + "/b", c = b + "/c", d = c + "/d", app = d + "/app";
    fs::create_directories(app);
    mark(app);                    // the executable's own folder
    mark(d + "/Lib2");
    mark(d + "/Lib1");            // entries by name
    mark(b + "/Far");             // fourth level
    mark(a + "/TooFar");          // fifth level: not searched
    mark(c + "/.hidden");         // hidden entries are skipped
    mark(c + "/Nested/Deeper");   // entries are looked into one level only
    fixtures::writeFile(c + "/file.jpg", "x");
    fixtures::writeFile(c + "/Marked/.vintrelle", "");  // a marker file counts too
    EXPECT_EQ(librariesAround(app, "/nonexistent-home"),
              (std::vector<std::string>{app, d + "/Lib1", d + "/Lib2", c + "/Marked", b + "/Far"}));
    // The home folder stops the search before it is looked into.
    EXPECT_EQ(librariesAround(app, c), (std::vector<std::string>{app, d + "/Lib1", d + "/Lib2"}));
}

TEST(PortableLibraries, OnlyTheFirstTwoHundredEntriesAreLookedInto) {
    fixtures::TempDir tmp;
    const std::string app = tmp / "app";
    fs::create_directories(app);
    char name[16];
    for (int i = 0; i < 205; ++i) {
        std::snprintf(name, sizeof name, "e%03d", i);
        fs::create_directories(app + "/" + name);
    }
    mark(app + "/e199");
    mark(app + "/e200");
    auto found = librariesAround(app, "/nonexistent-home");
    EXPECT_NE(std::find(found.begin(), found.end(), app + "/e199"), found.end());
    EXPECT_EQ(std::find(found.begin(), found.end(), app + "/e200"), found.end());
}

TEST(PortableLibraries, InstalledOrMountRootLocationsFindNothing) {
    fixtures::TempDir tmp;
    mark(tmp / "Lib");  // a build tree or /tmp beside other people's libraries
    fs::create_directories(tmp / "build");
    for (const std::string& dir : std::vector<std::string>{"/usr/bin", "/usr/local/bin", "/opt/vintrelle", "/media",
                                                            "/mnt", "/", "relative/dir", "/home/alice/bin", "/tmp",
                                                            tmp / "build"}) {
        EXPECT_FALSE(travelsOnDrive(dir, "/home/alice", "alice")) << dir;
        EXPECT_TRUE(findPortableLibraries(dir, "/home/alice", "alice").empty()) << dir;
    }
}

namespace {

// Runs `work` in a child with a mount namespace of its own, where file
// systems in memory over /media, /mnt and /run stand in for the folders a
// desktop mounts drives on, so that drives can be mounted where a desktop
// mounts them without touching this machine's. Gives what `work` returned,
// or nothing where no such namespace can be made.
std::optional<std::string> inPrivateMounts(const std::function<std::string()>& work) {
    int out[2];
    if (::pipe(out) != 0) return std::nullopt;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(out[0]);
        bool ok = (::unshare(CLONE_NEWNS) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0) &&
                  ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        for (const char* root : {"/media", "/mnt", "/run"})
            ok = ok && ::mount("none", root, "tmpfs", 0, nullptr) == 0;
        const std::string text = ok ? "+" + work() : "-";
        (void)!::write(out[1], text.data(), text.size());
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) text.append(buf, size_t(n));
    ::close(out[0]);
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    if (text.empty() || text[0] != '+') return std::nullopt;
    return text.substr(1);
}

}  // namespace

TEST(PortableLibraries, OnlyACopyOnARemovableDriveLooksAround) {
    struct Row {
        const char* name;
        std::string appDir, home;
        std::string drive;                 // mounted before the search, when given
        std::vector<std::string> marked;  // folders holding a ".vintrelle"
        std::vector<std::string> found;
    } rows[] = {
        {"a drive of the user's", "/media/alice/Photo Disk/Vintrelle", "/home/alice", "/media/alice/Photo Disk",
         {"/media/alice/Photo Disk/Pictures", "/media/alice/Photo Disk/Pictures/Deeper", "/media/alice/Elsewhere"},
         {"/media/alice/Photo Disk/Pictures"}},
        {"a drive under /run/media", "/run/media/alice/Archive/apps/vintrelle/bin", "/home/alice",
         "/run/media/alice/Archive", {"/run/media/alice/Archive/Lib"}, {"/run/media/alice/Archive/Lib"}},
        {"at the top of a drive under /media", "/media/Stick", "/home/alice", "/media/Stick",
         {"/media/Stick", "/media/Stick/Trip", "/media/Other"}, {"/media/Stick", "/media/Stick/Trip"}},
        {"a drive under /mnt", "/mnt/backup/app", "/home/alice", "/mnt/backup", {"/mnt/backup/Lib"},
         {"/mnt/backup/Lib"}},
        {"a folder under /mnt that is no drive", "/mnt/build/vintrelle", "/home/alice", "",
         {"/mnt/build/Lib", "/mnt/build/vintrelle/Lib"}, {}},
        {"the user's mount folder itself", "/media/alice", "/home/alice", "", {"/media/alice/Lib"}, {}},
        {"a home folder on a drive", "/mnt/home/alice/bin", "/mnt/home/alice", "/mnt/home", {"/mnt/home/alice/bin/Lib"},
         {}},
    };
    const std::optional<std::string> text = inPrivateMounts([&] {
        std::string out;
        for (const Row& row : rows) {
            std::error_code ec;
            fs::create_directories(row.appDir, ec);
            if (!row.drive.empty()) ::mount("none", row.drive.c_str(), "tmpfs", 0, nullptr);
            fs::create_directories(row.appDir, ec);
            for (const std::string& dir : row.marked) fs::create_directories(dir + "/.vintrelle", ec);
            for (const std::string& dir : findPortableLibraries(row.appDir, row.home, "alice")) out += dir + "\n";
            out += '\0';
        }
        return out;
    });
    if (!text) GTEST_SKIP() << "no private mount namespace here";
    std::vector<std::string> found(1);
    for (char c : *text) {
        if (c == '\0') found.emplace_back();
        else found.back() += c;
    }
    ASSERT_EQ(found.size(), std::size(rows) + 1);
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::string want;
        for (const std::string& dir : rows[i].found) want += dir + "\n";
        EXPECT_EQ(found[i], want) << rows[i].name;
    }
}

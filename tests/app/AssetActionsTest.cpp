// Favourites, files for other programs, stored paths that would leave the
// library, and the library left untouched by every action.

#include <gtest/gtest.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>

#include <cstdlib>
#include <fstream>

#include "ActionsFixture.h"
#include "App/KeyFilter.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

TEST(AssetActions, ToggleFavorite) {
    FileLibrary lib({makeAsset(1, "a.jpg", 1), makeAsset(2, "b.jpg", 2)});
    ActionsModel m(lib.store);
    // favourites before, ids toggled, favourites after
    const std::vector<int64_t> rows[][3] = {
        {{1}, {1, 2}, {1, 2}},  // a mix: all become favourites
        {{1, 2}, {2, 1}, {}},   // favourites only: all cleared
        {{1}, {1, 999}, {1}},   // an id gone from the index always sets
        {{1}, {}, {1}},
    };
    for (const auto& [before, ids, after] : rows) {
        lib.store->setFavorite({1, 2}, false);
        lib.store->setFavorite(before, true);
        m->toggleFavorite(ids);
        std::vector<int64_t> now;
        for (int64_t id : {1, 2})
            if (lib.store->asset(id)->favorite) now.push_back(id);
        EXPECT_EQ(now, after);
    }
}

TEST(AssetActions, FilesForOtherPrograms) {
    std::vector<Asset> assets;
    std::vector<int64_t> all;
    for (int64_t i = 1; i <= 25; ++i) {
        assets.push_back(makeAsset(i, "f" + std::to_string(i) + ".jpg", double(i)));
        all.push_back(i);
    }
    assets[0].path = "caf\xe9 #1.jpg";  // not UTF-8, with characters a URL must escape
    FileLibrary lib(assets);
    ActionsModel m(lib.store);
    const QUrl one = fileUrl(lib.root() + "/caf\xe9 #1.jpg"), two = fileUrl(lib.root() + "/f2.jpg");

    m->openExternally(all);
    ASSERT_EQ(m.desktop->opened.size(), size_t(AppModel::kMaxOpened));
    EXPECT_EQ(m.desktop->opened.back(), fileUrl(lib.root() + "/f20.jpg"));

    m->copyFiles({2, 999, 1});
    m->copyFiles({999});  // nothing resolves: the clipboard keeps the files
    const QMimeData* clip = QGuiApplication::clipboard()->mimeData();
    EXPECT_EQ(clip->data("text/uri-list"), two.toEncoded() + "\r\n" + one.toEncoded() + "\r\n");
    EXPECT_EQ(clip->data("x-special/gnome-copied-files"), "copy\n" + two.toEncoded() + "\n" + one.toEncoded());
    EXPECT_TRUE(one.toEncoded().endsWith("/caf%E9%20%231.jpg"));
    EXPECT_EQ(localPath(clip->urls()[1]), lib.root() + "/caf\xe9 #1.jpg");

    // Share: a small menu at the pointer, only while a window is active.
    m.desktop->anchor.reset();
    m->share({1});
    EXPECT_FALSE(m.desktop->menu);
    m.desktop->anchor = QPoint(1, 1);
    m->share({1, 2});
    EXPECT_EQ(titles(*m.desktop->menu), (std::vector<std::string>{"Email\u2026", "Copy"}));
    ASSERT_TRUE(trigger(*m.desktop->menu, "Email\u2026"));
    const std::vector<std::string> mailed = {lib.root() + "/caf\xe9 #1.jpg", lib.root() + "/f2.jpg"};
    EXPECT_EQ(m.desktop->mailed, std::vector<std::vector<std::string>>{mailed});
    m->share({2});
    ASSERT_TRUE(trigger(*m.desktop->menu, "Open With\u2026"));
    EXPECT_EQ(m.desktop->openedWith, QList<QUrl>{two});
}

TEST(AssetActions, StoredPathsOutsideTheLibraryAreRefused) {
    fixtures::TempDir elsewhere;
    fixtures::writeFile(elsewhere / "secret.jpg", "not the library's");
    const std::string up = "../" + fs::path(elsewhere.path()).filename().string() + "/secret.jpg";
    FileLibrary lib({makeAsset(1, "a.jpg", 1), makeAsset(2, up, 2), makeAsset(3, elsewhere / "secret.jpg", 3),
                     makeAsset(4, "x/../" + up, 4)});
    ASSERT_TRUE(fs::exists(lib.root() + "/" + up));  // joined blindly, it would be read
    ActionsModel m(lib.store);

    EXPECT_EQ(m->urls({2, 1, 3, 4}), QList<QUrl>{fileUrl(lib.root() + "/a.jpg")});
    QGuiApplication::clipboard()->setText("before");
    m->copyFiles({2, 3, 4});
    m->openExternally({2, 3, 4});
    m->showInFiles({2, 3, 4});
    m->share({2});
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
    EXPECT_TRUE(m.desktop->opened.empty() && m.desktop->shown.empty() && !m.desktop->menu);

    fixtures::TempDir dest;
    m.desktop->answer = dest.path();
    m->exportCopies({1, 2});
    ASSERT_TRUE(spinUntil([&] { return m->runningExports() == 0; }));
    EXPECT_EQ(filesIn(dest.path()), std::vector<std::string>{"a.jpg"});
    EXPECT_EQ(m->errorMessage(), std::optional<std::string>("1 item could not be copied."));

    for (const char* bad : {"", "/abs.jpg", "..", "../a", "a/..", "a/../b"})
        EXPECT_FALSE(LibraryPaths::isContainedPath(bad)) << bad;
    EXPECT_FALSE(LibraryPaths::isContainedPath(std::string_view("a\0b", 3)));
    for (const char* good : {"a.jpg", "..a/b", "a../b", "a/.../b", "./a"})
        EXPECT_TRUE(LibraryPaths::isContainedPath(good)) << good;
}

TEST(AssetActions, TheLibraryIsNeverWritten) {
    FileLibrary lib({makeAsset(1, "2024/a.jpg", 1), makeAsset(2, "2024/IMG_1.HEIC", 2), makeAsset(3, "b.jpg", 3)});
    fixtures::writeFile(lib.root() + "/2024/IMG_1.MOV", "movie");
    lib.setLiveVideo(2, "2024/IMG_1.MOV");
    lib.db().db().run("INSERT INTO trips(id, title, custom_title, start, end) VALUES(5,'Rome',NULL,0,10)");
    storetest::insertPerson(lib.db(), 7, "Ana");
    storetest::insertFace(lib.db(), 1, 7);
    lib.store->engineDidUpdateTrips();
    lib.store->reloadPeople();
    fixtures::TempDir dest;
    ActionsModel m(lib.store);
    m.desktop->answer = dest.path();
    const uint64_t before = lib.checksum();
    const std::vector<int64_t> all = {1, 2, 3};
    m->open(*lib.store->asset(1), lib.store->assets());

    const std::pair<const char*, std::function<void()>> actions[] = {
        {"favourite", [&] { m->toggleFavorite(all); }},
        {"favourite key", [&] { applyKey(*m, KeyAction::toggleFavorite); }},
        {"copy", [&] { m->copyFiles(all); }},
        {"open", [&] { m->openExternally(all); }},
        {"show", [&] { m->showInFiles(all); }},
        {"mail", [&] { m->share(all), trigger(*m.desktop->menu, "Email\u2026"); }},
        {"export", [&] { m->exportCopies(all), spinUntil([&] { return m->runningExports() == 0; }); }},
        {"new album", [&] { m->askNewAlbum(all), m->confirmAlbumPrompt(m->albumPrompt()->id, "Trip"); }},
        {"add to album", [&] { m->addToAlbum(lib.store->albums().front().id, {3}); }},
        {"remove from album", [&] { m->removeFromAlbum(lib.store->albums().front().id, {1}); }},
        {"not this person", [&] { m->removeFromPerson(7, {1}); }},
        {"trip cover", [&] { m->useAsTripCover(5, 2); }},
    };
    for (const auto& [name, action] : actions) {
        action();
        EXPECT_EQ(lib.checksum(), before) << name;
    }
    EXPECT_EQ(filesIn(dest.path()).size(), 4u);  // three files and the movie
}

}  // namespace

namespace {

// An environment variable set for one test body.
class VariableScope {
public:
    VariableScope(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~VariableScope() {
        if (old_) setenv(name_, old_->c_str(), 1);
        else unsetenv(name_);
    }
    VariableScope(const VariableScope&) = delete;
    VariableScope& operator=(const VariableScope&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace

// Share → "Email…" hands the files to xdg-email, here one that stands in for
// a desktop with or without a mail program: it notes what it was given and
// whether the shell's status pipe reached it, and ends as told. When no mail
// can start, the user is told, as when an export fails.
TEST(AssetActions, MailSaysWhenNoMailCanStart) {
    fixtures::TempDir tools;
    const std::string noted = tools / "noted";
    fixtures::writeFile(tools / "xdg-email",
                        "#!/bin/sh\n"
                        "{ printf '%s\\n' \"$@\"; if { true >&3; } 2>/dev/null; then echo pipe; fi; } > \"$NOTED\"\n"
                        "exit $MAIL_EXIT\n");
    fs::permissions(tools / "xdg-email", fs::perms::owner_all);
    const char* path = std::getenv("PATH");
    VariableScope pathScope("PATH", tools.path() + ":" + (path ? path : "/usr/bin:/bin"));
    VariableScope notedScope("NOTED", noted);
    FileLibrary lib({makeAsset(1, "a b.jpg", 1), makeAsset(2, "c.jpg", 2)});

    // The desktop's own answer, for each way xdg-email can end.
    DesktopServices desktop;
    using Failure = DesktopServices::MailFailure;
    const std::pair<std::string, std::optional<Failure>> endings[] = {
        {"0", std::nullopt}, {"3", Failure::noMailProgram}, {"4", Failure::failed}, {"2", Failure::failed}};
    for (const auto& [exit, expected] : endings) {
        SCOPED_TRACE("xdg-email ends with " + exit);
        VariableScope exitScope("MAIL_EXIT", exit);
        fs::remove(noted);
        bool done = false;
        std::optional<Failure> failure;
        desktop.email({lib.root() + "/a b.jpg", lib.root() + "/c.jpg"}, [&](std::optional<Failure> f) {
            done = true;
            failure = f;
        });
        ASSERT_TRUE(spinUntil([&] { return done; }));
        EXPECT_EQ(failure, expected);
        std::ifstream in(noted);
        const std::string given((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(given, "--attach\n" + lib.root() + "/a b.jpg\n--attach\n" + lib.root() + "/c.jpg\n")
            << "the files, and no status pipe for the mail program to hold open";
    }
    {
        // No xdg-email at all: nothing can ask for a mail program.
        VariableScope bare("PATH", tools / "nothing here");
        std::optional<std::optional<Failure>> answer;
        desktop.email({lib.root() + "/c.jpg"}, [&](std::optional<Failure> f) { answer = f; });
        ASSERT_TRUE(spinUntil([&] { return answer.has_value(); }));
        EXPECT_EQ(*answer, Failure::noMailProgram);
    }

    // Through the share menu: the failure is said, with the count of items.
    ActionsModel m(lib.store);
    m.desktop->realMail = true;
    const std::pair<std::string, std::string> said[] = {
        {"3", "No mail program is set up to send 2 items."}, {"4", "2 items could not be attached to a new mail."}};
    for (const auto& [exit, message] : said) {
        VariableScope exitScope("MAIL_EXIT", exit);
        m->setErrorMessage(std::nullopt);
        m->share({1, 2});
        ASSERT_TRUE(trigger(*m.desktop->menu, "Email\u2026"));
        ASSERT_TRUE(spinUntil([&] { return m->errorMessage().has_value(); }));
        EXPECT_EQ(*m->errorMessage(), message);
    }
}

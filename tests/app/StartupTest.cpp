// The start-up, the removal of libraries, and the reactions to drives and to
// the application coming to the front, over temporary folders, real stores
// and mount tables the tests write.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QGuiApplication>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include "App/LaunchRequest.h"
#include "App/MountWatcher.h"
#include "App/SingleInstance.h"
#include "AppFixture.h"

namespace {

using namespace apptest;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Folders of one test: "A", "B" and "New" are folders; "Gone" is missing;
// "Drive" is the empty mount point of an fstab drive that is away; "Broken"
// is a folder whose index cannot be opened; "photo.jpg" is a file.
// A world's folders keep their data folders from row to row, so that only
// the first opening of each pays for making them.
struct World {
    fixtures::TempDir root;
    std::unique_ptr<Settings> settings = std::make_unique<Settings>();
    Clock::time_point now = Clock::now();

    World() {
        for (const char* d : {"A", "B", "New", "My Photos", "Drive", "x/y/z/app", "Broken/.vintrelle/library.sqlite"})
            fs::create_directories(root / d);
        fixtures::writeFile(root / "photo.jpg", "not a folder");
        fixtures::writeFile(root / "fstab", "UUID=1 " + (root / "Drive") + " ext4 noauto 0 2\n");
        mountTable({});
    }
    std::string path(const std::string& tag) const { return root / tag; }
    std::vector<std::string> paths(const std::vector<std::string>& tags) const {
        std::vector<std::string> out;
        for (const auto& t : tags) out.push_back(path(t));
        return out;
    }
    // The mounted file systems besides the root, by tag or absolute path
    // (blanks escaped as the kernel does).
    void mountTable(const std::vector<std::string>& tags) {
        std::string text = "1 0 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n";
        int id = 2;
        for (const auto& t : tags) {
            std::string point = t.starts_with('/') ? t : path(t);
            for (size_t at = point.find(' '); at != std::string::npos; at = point.find(' ', at))
                point.replace(at, 1, "\\040");
            text += std::to_string(id) + " 1 8:" + std::to_string(id) + " / " + point + " rw - ext4 /dev/sdb" +
                    std::to_string(id) + " rw\n";
            ++id;
        }
        fixtures::writeFile(root / "mountinfo", text);
    }
    // A model on this world's settings, folders, tables and clock, faces off.
    std::unique_ptr<AppModel> model(const std::string& appDir = "x/y/z/app") {
        auto s = settings->open();
        s->setValue("facesEnabled", false);
        auto m = std::make_unique<AppModel>(std::move(s));
        AppModel::Desktop d;
        d.mountInfoPath = QString::fromStdString(root / "mountinfo");
        d.fstabPath = QString::fromStdString(root / "fstab");
        d.applicationDir = path(appDir);
        d.homeDir = "/nonexistent-home";
        d.now = [this] { return now; };
        m->setDesktop(std::move(d));
        return m;
    }
    QVariant stored(const char* key) const { return settings->open()->value(key); }
    // The preferences of a first run, for the next row.
    void forget() { settings = std::make_unique<Settings>(); }
};

// A folder whose path is short enough to live inside the string that holds
// it: a freed copy of it would still read right, so the reopening is tried
// on both a short and a real drive's long path.
struct ShortDir {
    std::string path;
    ShortDir() {
        std::string t = "/tmp/vXXXXXX";
        if (!::mkdtemp(t.data())) throw std::runtime_error("mkdtemp failed");
        path = t;
    }
    ~ShortDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

// Moves everything in `from` into `to`: a drive's files going away and
// coming back, leaving its mount point empty.
void moveEntries(const std::string& from, const std::string& to) {
    fs::create_directories(to);
    for (const auto& e : fs::directory_iterator(from)) fs::rename(e.path(), fs::path(to) / e.path().filename());
}

// The store opened is the library's own, with its index in the library.
void expectOpenOn(AppModel& m, const std::string& library) {
    ASSERT_TRUE(m.store());
    EXPECT_EQ(m.store()->paths().root, library);
    EXPECT_EQ(m.store()->paths().dataDir, library + "/.vintrelle");
    EXPECT_EQ(m.libraryPath(), library);
    EXPECT_FALSE(m.waitingForPath());
}

struct Closing {
    AppModel& m;
    ~Closing() { m.closeStore(); }
};

QStringList toList(const std::vector<std::string>& v) {
    QStringList out;
    for (const auto& s : v) out << QString::fromStdString(s);
    return out;
}

}  // namespace

TEST(Startup, ChoosesTheLibraryToOpen) {
    struct Row {
        const char* name;
        std::vector<std::string> libraries;
        std::optional<std::string> last;
        QStringList launch;                   // relative to the test's folder
        std::optional<std::string> shown;     // libraryPath
        bool waiting;
        std::string error;                    // the message, or its start
        std::vector<std::string> librariesAfter;
        std::optional<std::string> lastAfter;
    } rows[] = {
        {"no libraries", {}, {}, {}, {}, false, "", {}, {}},
        {"the remembered one", {"A", "B"}, "B", {}, "B", false, "", {"A", "B"}, "B"},
        {"remembered but no longer listed", {"A"}, "B", {}, "A", false, "", {"A"}, "A"},
        {"remembered one unplugged, another there", {"Gone", "A"}, "Gone", {}, "A", false, "", {"Gone", "A"}, "A"},
        {"only unreachable: wait, write nothing", {"Gone"}, "Gone", {}, "Gone", true, "", {"Gone"}, "Gone"},
        {"nothing remembered: wait for the first", {"Gone", "Drive"}, {}, {}, "Gone", true, "", {"Gone", "Drive"}, {}},
        {"empty mount point of an absent drive", {"Drive", "Gone"}, "Drive", {}, "Drive", true, "", {"Drive", "Gone"},
         "Drive"},
        {"-library last is ignored", {"A"}, "A", {"-library"}, "A", false, "", {"A"}, "A"},
        {"-library of a file", {"A"}, "A", {"-library", "photo.jpg"}, {}, false,
         "\u201cphoto.jpg\u201d is not a folder Vintrelle can open.", {"A"}, "A"},
        {"-library of a new folder", {"A"}, "A", {"-library", "New"}, "New", false, "", {"A", "New"}, "New"},
        {"folders at launch: the first folder", {"A"}, "A", {"photo.jpg", "Gone", "file:My Photos", "B"}, "My Photos",
         false, "", {"A", "My Photos"}, "My Photos"},
        {"only files at launch", {"A"}, "A", {"photo.jpg"}, "A", false, "", {"A"}, "A"},
        {"an index that cannot open", {"Broken"}, "Broken", {}, {}, false, "Couldn\u2019t open \u201cBroken\u201d. ",
         {"Broken"}, "Broken"},
    };
    World w;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        w.forget();
        {
            auto s = w.settings->open();
            if (!row.libraries.empty()) s->setValue("libraries", toList(w.paths(row.libraries)));
            if (row.last) s->setValue("lastLibrary", QString::fromStdString(w.path(*row.last)));
        }
        auto m = w.model();
        Closing closing{*m};
        QStringList launch = row.launch;
        for (QString& a : launch)  // "file:NAME": the desktop's URI of that folder
            if (a.startsWith("file:")) a = QUrl::fromLocalFile(QString::fromStdString(w.path(a.mid(5).toStdString()))).toString();
        m->bootstrap(parseLaunchArguments(launch, QString::fromStdString(w.root.path())));

        EXPECT_EQ(m->libraryPath(), row.shown ? std::optional(w.path(*row.shown)) : std::nullopt);
        EXPECT_EQ(m->waitingForPath(), row.waiting ? m->libraryPath() : std::nullopt);
        EXPECT_EQ(m->store() != nullptr, row.shown && !row.waiting);
        EXPECT_EQ(m->errorMessage().value_or("").substr(0, row.error.size()), row.error);
        EXPECT_EQ(row.error.empty(), !m->errorMessage());
        EXPECT_EQ(m->libraries(), w.paths(row.librariesAfter));
        EXPECT_EQ(w.stored("libraries").toStringList(), toList(w.paths(row.librariesAfter)));
        EXPECT_EQ(w.stored("lastLibrary"),
                  row.lastAfter ? QVariant(QString::fromStdString(w.path(*row.lastAfter))) : QVariant());
    }
}

TEST(Startup, ACopyOffADriveAddsNoLibrariesFoundBesideIt) {
    // Run from a build tree or /tmp, beside other people's libraries: the
    // copy does not travel on a drive, so nothing is looked for (the search
    // of a drive's copy is in DesktopPathsTest).
    World w;
    fs::create_directories(w.root / "p/q/usb/app");
    fs::create_directories(w.root / "p/q/usb/Trip/.vintrelle");
    w.settings->open()->setValue("libraries", toList(w.paths({"A"})));
    auto m = w.model("p/q/usb/app");
    Closing closing{*m};
    m->bootstrap();
    EXPECT_EQ(m->libraries(), w.paths({"A"}));
    EXPECT_EQ(w.stored("libraries").toStringList(), toList(w.paths({"A"})));
    EXPECT_EQ(m->libraryPath(), w.path("A"));  // the first reachable; nothing was remembered
}

TEST(Startup, RemovesTheChosenLibrary) {
    struct Row {
        const char* name;
        std::string shown;    // opened before
        std::string removed;  // the one the user chose
        std::function<void(AppModel&, World&)> between;  // what happened before the confirmation
        std::optional<std::string> shownAfter;
        std::vector<std::string> librariesAfter;
    } rows[] = {
        {"the shown library: the next reachable one opens", "A", "A", {}, "B", {"Gone", "B"}},
        {"a library that is not shown", "A", "B", {}, "A", {"A", "Gone"}},
        {"the awaited library: the first reachable one opens", "Gone", "Gone", {}, "A", {"A", "B"}},
        // The user chose to remove A; B was opened before the confirmation
        // was answered. A goes, B stays open.
        {"chosen, then another library opened", "A", "A",
         [](AppModel& m, World& w) { m.openLibrary(w.path("B")); }, "B", {"Gone", "B"}},
    };
    World w;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        w.forget();
        const std::vector<std::string> all = row.shown == "Gone" ? std::vector<std::string>{"Gone", "A", "B"}
                                                                 : std::vector<std::string>{"A", "Gone", "B"};
        w.settings->open()->setValue("libraries", toList(w.paths(all)));
        auto m = w.model();
        Closing closing{*m};
        m->bootstrap();
        m->openLibrary(w.path(row.shown));
        if (row.between) row.between(*m, w);
        const auto storeBefore = m->store();
        m->removeLibrary(w.path(row.removed));
        EXPECT_EQ(m->libraries(), w.paths(row.librariesAfter));
        EXPECT_EQ(w.stored("libraries").toStringList(), toList(w.paths(row.librariesAfter)));
        EXPECT_EQ(m->libraryPath(), row.shownAfter ? std::optional(w.path(*row.shownAfter)) : std::nullopt);
        EXPECT_FALSE(m->waitingForPath());
        EXPECT_EQ(m->store() != nullptr, row.shownAfter.has_value());
        if (row.removed != row.shown || row.between) {
            EXPECT_EQ(m->store(), storeBefore) << "the shown library was reopened";
        }
    }
}

TEST(Startup, WaitsForAnUnpluggedDriveAndReopensASecondAfterItIsBack) {
    World w;
    ShortDir shortDrive;
    struct Drive {
        std::string mountPoint, library;
        std::string neighbour;  // another drive whose name starts the same
    } drives[] = {
        {w.path("media/me/Family Photos Backup"), w.path("media/me/Family Photos Backup/Pictures/Library"),
         w.path("media/me/Family Photos")},
        {shortDrive.path, shortDrive.path, shortDrive.path.substr(0, shortDrive.path.size() - 1)},  // the drive itself
    };
    for (const Drive& d : drives) {
        SCOPED_TRACE(d.library);
        w.forget();
        fs::create_directories(d.library);
        fs::create_directories(d.neighbour);
        w.mountTable({d.neighbour, d.mountPoint});
        w.settings->open()->setValue("libraries", QStringList{QString::fromStdString(d.library)});
        auto m = w.model();
        Closing closing{*m};
        m->bootstrap();
        expectOpenOn(*m, d.library);
        MountWatcher& mounts = *m->mountWatcher();

        // The neighbour goes away: nothing happens.
        w.mountTable({d.mountPoint});
        mounts.refresh();
        EXPECT_TRUE(m->store());

        // The library's drive goes: its mount point is left empty.
        const std::string away = w.path("away");
        moveEntries(d.mountPoint, away);
        w.mountTable({});
        mounts.refresh();
        EXPECT_FALSE(m->store());
        EXPECT_EQ(m->waitingForPath(), d.library);
        EXPECT_EQ(m->libraryPath(), d.library);

        // Some other drive arrives: still waiting a second later.
        fs::create_directories(w.root / "Other");
        w.mountTable({"Other"});
        mounts.refresh();
        spinUntil([] { return false; }, 1200);
        EXPECT_EQ(m->waitingForPath(), d.library);

        // The drive is back: the library opens by itself, one second later,
        // on its own folder and index.
        moveEntries(away, d.mountPoint);
        w.mountTable({"Other", d.mountPoint});
        QElapsedTimer clock;
        clock.start();
        mounts.refresh();
        // Seen within a few milliseconds of opening: a busy machine may
        // open it late, never early.
        ASSERT_TRUE(spinUntil([&] { return m->store() != nullptr; }, 60'000));
        EXPECT_GE(clock.elapsed(), AppModel::kReopenAfterMountMs) << "opened before the second was up";
        expectOpenOn(*m, d.library);
        EXPECT_EQ(w.stored("lastLibrary").toString().toStdString(), d.library);
    }
}

// The drive pulled between the look that finds the library and its opening:
// the window waits for the drive, with no error and nothing made.
TEST(Startup, ALibraryThatGoesWhileItOpensWaitsForItsDrive) {
    World w;
    setenv("XDG_DATA_HOME", (w.root / "data").c_str(), 1);
    fs::create_directories(w.root / "Drive/Lib");
    auto m = w.model();
    Closing closing{*m};
    m->setFolderCheck([&](const std::string& path) {
        const bool there = fs::is_directory(path);
        if (there) fs::rename(w.root / "Drive/Lib", w.root / "pulled");
        return there;
    });
    m->openLibrary(w.path("Drive/Lib"));
    EXPECT_FALSE(m->store());
    EXPECT_EQ(m->waitingForPath(), w.path("Drive/Lib"));
    EXPECT_EQ(m->libraryPath(), w.path("Drive/Lib"));
    EXPECT_FALSE(m->errorMessage());
    EXPECT_FALSE(fs::exists(w.root / "Drive/Lib"));
    EXPECT_FALSE(fs::exists(w.root / "pulled/.vintrelle"));
    EXPECT_FALSE(fs::exists(w.root / "data"));
    unsetenv("XDG_DATA_HOME");
}

TEST(Startup, ActivationReopensOrRescansAtMostEvery45SecondsWhileIdle) {
    World w;
    w.settings->open()->setValue("libraries", toList(w.paths({"A", "Gone"})));
    auto m = w.model();
    Closing closing{*m};
    m->bootstrap();
    ASSERT_TRUE(m->store());
    auto idle = [&] { return m->store()->status() == EngineStatus::idle(); };
    {
        // The first scan of the opening runs to its end.
        bool scanned = false;
        QObject context;
        QObject::connect(m->store().get(), &LibraryStore::statusChanged, &context,
                         [&] { scanned |= m->store()->status() == EngineStatus::scanning(); });
        ASSERT_TRUE(spinUntil([&] { return scanned && idle(); }));
    }

    auto* app = static_cast<QGuiApplication*>(QCoreApplication::instance());
    // Counts the scans an activation starts: a scan that should start is
    // waited for to its end, however slowly the engine's thread is served;
    // one that should not is given half a second to show up.
    auto scansAfterActivation = [&](int secondsLater, int expected) {
        w.now += std::chrono::seconds(secondsLater);
        int scans = 0;
        QObject context;
        QObject::connect(m->store().get(), &LibraryStore::statusChanged, &context, [&] {
            if (m->store()->status() == EngineStatus::scanning()) ++scans;
        });
        emit app->applicationStateChanged(Qt::ApplicationActive);
        spinUntil([&] { return scans > 0 && idle(); }, expected > 0 ? 60'000 : 500);
        return scans;
    };
    EXPECT_EQ(scansAfterActivation(30, 0), 0);  // counted from start-up
    m->store()->engineDidChangeStatus(EngineStatus::scanning());  // the engine is busy
    EXPECT_EQ(scansAfterActivation(16, 0), 0);
    m->store()->engineDidChangeStatus(EngineStatus::idle());
    EXPECT_EQ(scansAfterActivation(0, 1), 1);  // the busy activation did not move the mark
    EXPECT_EQ(scansAfterActivation(30, 0), 0);
    EXPECT_EQ(scansAfterActivation(16, 1), 1);

    // The shown library becomes unreachable; activation notices, and reopens
    // it once it is back, on a drive's long path and on a short one.
    ShortDir shortDrive;
    for (const std::string& library :
         {w.path("media/me/Family Photos Backup/Pictures/Library"), shortDrive.path + "/L"}) {
        SCOPED_TRACE(library);
        m->openLibrary(library);
        EXPECT_EQ(m->waitingForPath(), library);
        fs::create_directories(library);
        emit app->applicationStateChanged(Qt::ApplicationActive);
        expectOpenOn(*m, library);
        fs::remove_all(library);
        emit app->applicationStateChanged(Qt::ApplicationActive);
        EXPECT_FALSE(m->store());
        EXPECT_EQ(m->waitingForPath(), library);
    }
}

TEST(Startup, TheFolderPanelAddsTheChosenFolderAndOutlivesNoModel) {
    World w;
    std::function<void(std::optional<std::string>)> pending;
    auto m = w.model();
    m->chooseFolder();  // no panel installed: nothing happens
    m->setFolderChooser([&](auto answer) { pending = std::move(answer); });
    m->chooseFolder();
    pending(std::nullopt);  // cancelled
    EXPECT_TRUE(m->libraries().empty());
    m->chooseFolder();
    pending(w.path("photo.jpg"));
    EXPECT_EQ(m->errorMessage(), "\u201cphoto.jpg\u201d is not a folder Vintrelle can open.");
    m->chooseFolder();
    m.reset();  // the panel answers after the model is gone
    pending(w.path("A"));
}

// Folders named in Latin-1 bytes, as old drives and archives have them: one
// given at launch, one handed over by a later launch, both known after a
// restart, each opening as the folder it is.
TEST(Startup, FoldersNamedInOtherBytesOpenAtLaunchWhenHandedOverAndAfterARestart) {
    World w;
    const std::string latin = "lib_\xE9t\xE9", other = "Alb\xFCm 100%";
    fs::create_directories(w.root / latin);
    fs::create_directories(w.root / other);
    {
        auto m = w.model();
        Closing closing{*m};
        // "vintrelle -library lib_?t?" in a shell in the folder above it.
        m->bootstrap(parseLaunchArguments(std::vector<std::string>{"-library", latin}, w.root.path()));
        EXPECT_FALSE(m->errorMessage()) << *m->errorMessage();
        expectOpenOn(*m, w.path(latin));

        // A later launch hands the other folder over, as a file URI from the desktop.
        const QString socket = QString::fromStdString(w.root / "vintrelle.sock");
        SingleInstance running(socket);
        ASSERT_EQ(running.claim(), SingleInstance::Claim::first);
        QObject::connect(&running, &SingleInstance::received, m.get(),
                         [&](const QStringList& args) { m->openLaunchRequest(parseLaunchArguments(args, "/")); });
        SingleInstance later(socket);
        ASSERT_EQ(later.claim(), SingleInstance::Claim::elsewhere);
        const std::string uri = fileUrl(w.path(other)).toEncoded().toStdString();
        EXPECT_TRUE(later.forward(parseLaunchArguments(std::vector<std::string>{uri}, "/tmp").toArguments(),
                                  fixtures::patientMs));
        ASSERT_TRUE(spinUntil([&] { return m->store() && m->libraryPath() == w.path(other); }));
        expectOpenOn(*m, w.path(other));
        EXPECT_EQ(m->libraries(), w.paths({latin, other}));
    }
    auto m = w.model();
    Closing closing{*m};
    m->bootstrap();
    EXPECT_EQ(m->libraries(), w.paths({latin, other}));
    expectOpenOn(*m, w.path(other));
}

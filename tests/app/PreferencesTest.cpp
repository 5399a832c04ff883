// Preferences: what the model reads at start, what it writes back, and the
// library list's round trip through the settings file.

#include <gtest/gtest.h>

#include <QSettings>

#include <filesystem>
#include <optional>

#include "AppFixture.h"

using namespace apptest;
namespace fs = std::filesystem;

namespace {

TEST(Preferences, LoadAndWriteBack) {
    struct Row {
        std::optional<QVariant> thumbSize;
        std::optional<bool> faces;
        double wantSize;
        std::optional<QVariant> wantStoredSize;  // nullopt: key absent afterwards
        bool wantFaces;
    };
    constexpr auto absent = std::nullopt;
    const Row rows[] = {
        {absent, absent, 150, absent, true},
        {QVariant(10.0), absent, 72, QVariant(72.0), true},
        {QVariant(500.0), false, 320, QVariant(320.0), false},
        {QVariant("nan"), false, 150, QVariant("nan"), false},
        {QVariant("inf"), absent, 150, QVariant("inf"), true},
        {QVariant("big"), absent, 150, QVariant("big"), true},
        {QVariant(200.5), absent, 200.5, QVariant(200.5), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.thumbSize ? row.thumbSize->toString().toStdString() : "absent");
        Settings s;
        {
            auto q = s.open();
            if (row.thumbSize) q->setValue("thumbSize", *row.thumbSize);
            if (row.faces) q->setValue("facesEnabled", *row.faces);
        }
        {
            AppModel m(s.open());
            EXPECT_EQ(m.thumbSize(), row.wantSize);
            EXPECT_EQ(m.facesEnabled(), row.wantFaces);
            EXPECT_FALSE(m.showInfo());
            EXPECT_EQ(m.appearance(), "light");
            EXPECT_TRUE(m.libraries().empty());
        }
        auto q = s.open();
        // showInfo and appearance are always written back; the others only
        // when they were there; the library list never.
        QStringList want{"appearance", "showInfo"};
        if (row.faces) want << "facesEnabled";
        if (row.wantStoredSize) want << "thumbSize";
        want.sort();
        QStringList keys = q->allKeys();
        keys.sort();
        EXPECT_EQ(keys, want);
        if (row.wantStoredSize) EXPECT_EQ(q->value("thumbSize").toString(), row.wantStoredSize->toString());
    }
}

TEST(Preferences, ObserversWriteOnEveryAssignment) {
    Settings s;
    AppModel m(s.open());
    std::vector<std::string> applied;
    m.setAppearanceApplier([&](const std::string& a) { applied.push_back(a); });
    SignalCounts counts(m);
    int thumbSignals = 0;
    QObject::connect(&m, &AppModel::thumbSizeChanged, [&] { ++thumbSignals; });

    // The setter does not clamp: the slider keeps it in bounds.
    m.setThumbSize(400);
    s.open()->remove("thumbSize");
    m.setThumbSize(400);  // equal: no signal, but written again
    EXPECT_EQ(thumbSignals, 1);
    EXPECT_EQ(s.open()->value("thumbSize").toDouble(), 400);

    m.setAppearance("dark");
    m.setAppearance("dark");
    EXPECT_EQ(applied, (std::vector<std::string>{"light", "dark", "dark"}));
    EXPECT_EQ(s.open()->value("appearance").toString(), "dark");

    m.setShowInfo(true);
    m.setFacesEnabled(false);
    EXPECT_TRUE(s.open()->value("showInfo").toBool());
    EXPECT_FALSE(s.open()->value("facesEnabled").toBool());

    // The library list is written by the library operations only.
    m.setLibraries({"/x"});
    EXPECT_FALSE(s.open()->contains("libraries"));
}

TEST(Preferences, LibraryListRoundTrip) {
    fixtures::TempDir root;
    const std::vector<std::vector<std::string>> lists = {
        {},
        {"Photos"},
        {"Rome, 2019"},  // one entry with a comma must not read back as two
        {"Photos", "Rome, 2019"},
        {"\"Quoted\" photos", "Fotos de S\u00e3o Paulo \u5199\u771f"},
        {" leading blank", "trailing blank "},
        {"semi;colon", "back\\slash", "eq=ual"},
    };
    for (const auto& names : lists) {
        Settings s;
        std::vector<std::string> paths;
        {
            AppModel m(s.open());
            // Waiting instead of opening keeps the folders untouched.
            m.setFolderCheck([](const std::string&) { return false; });
            for (const std::string& name : names) {
                const std::string path = root / name;
                fs::create_directories(path);
                m.addLibrary(path);
                paths.push_back(path);
            }
            EXPECT_EQ(m.libraries(), paths);
            EXPECT_FALSE(m.errorMessage());
        }
        AppModel again(s.open());
        EXPECT_EQ(again.libraries(), paths) << (names.empty() ? "empty" : names[0]);
    }
}

TEST(Preferences, AddLibraryStandardisesAndRefusesFiles) {
    fixtures::TempDir root;
    fs::create_directories(root / "Lib");
    fixtures::writeFile(root / "photo.jpg", "x");
    Model m;
    m->setFolderCheck([](const std::string&) { return false; });

    m->addLibrary(root / "Lib/../Lib/");
    m->addLibrary(root / "Lib");
    EXPECT_EQ(m->libraries(), std::vector<std::string>{root / "Lib"});
    EXPECT_EQ(m->waitingForPath(), root / "Lib");
    EXPECT_EQ(m.settings.open()->value("lastLibrary").toString().toStdString(), root / "Lib");

    m->addLibrary(root / "photo.jpg");
    EXPECT_EQ(m->errorMessage(), "\u201cphoto.jpg\u201d is not a folder Vintrelle can open.");
    EXPECT_EQ(m->libraries().size(), 1u);
    EXPECT_EQ(m->libraryPath(), root / "Lib");
}

}  // namespace

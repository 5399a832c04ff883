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
        QString wantStored;  // what "thumbSize" holds afterwards, when it was there
    };
    constexpr auto absent = std::nullopt;
    const Row rows[] = {
        {absent, absent, 150, ""},
        {10.0, absent, 72, "72"},
        {500.0, false, 320, "320"},
        {200.5, absent, 200.5, "200.5"},
        {"nan", false, 150, "nan"},  // not a finite size: as if absent, left alone
        {"inf", absent, 150, "inf"},
        {"big", absent, 150, "big"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.wantStored.toStdString());
        Settings s;
        if (row.thumbSize) s.open()->setValue("thumbSize", *row.thumbSize);
        if (row.faces) s.open()->setValue("facesEnabled", *row.faces);
        {
            AppModel m(s.open());
            EXPECT_EQ(m.thumbSize(), row.wantSize);
            EXPECT_EQ(m.facesEnabled(), row.faces.value_or(true));
            EXPECT_FALSE(m.showInfo());
            EXPECT_EQ(m.appearance(), "light");
        }
        // showInfo and appearance are always written back, the others only
        // when they were there, the library list never.
        QStringList want{"appearance", "showInfo"};
        if (row.faces) want << "facesEnabled";
        if (row.thumbSize) want << "thumbSize";
        QStringList keys = s.open()->allKeys();
        want.sort();
        keys.sort();
        EXPECT_EQ(keys, want);
        if (row.thumbSize) {
            EXPECT_EQ(s.open()->value("thumbSize").toString(), row.wantStored);
        }
    }
}

TEST(Preferences, ObserversWriteOnEveryAssignment) {
    Settings s;
    AppModel m(s.open());
    int looks = 0;
    QObject::connect(&m, &AppModel::darkAppearanceChanged, [&] { ++looks; });
    m.setThumbSize(400);  // the slider keeps it in bounds, not the setter
    s.open()->remove("thumbSize");
    m.setThumbSize(400);  // equal: written again all the same
    m.setAppearance("dark");
    m.setAppearance("dark");
    m.setLibraries({"/x"});  // saved by the library operations only
    EXPECT_EQ(s.open()->value("thumbSize").toDouble(), 400);
    EXPECT_TRUE(m.darkAppearance());  // in effect at once
    EXPECT_EQ(looks, 1);
    EXPECT_EQ(s.open()->value("appearance").toString(), "dark");
    EXPECT_FALSE(s.open()->contains("libraries"));
}

TEST(Preferences, LibraryListRoundTrip) {
    fixtures::TempDir root;
    fixtures::writeFile(root / "photo.jpg", "x");
    const std::vector<std::vector<std::string>> lists = {
        {},
        {"Photos"},
        {"Rome, 2019"},  // one entry with a comma must not read back as two
        {"Photos", "Rome, 2019"},
        {"\"Quoted\" photos", "Fotos de S\u00e3o Paulo \u5199\u771f", " leading blank", "semi;colon=back\\slash"},
        // Named in Latin-1, as old drives and archives have it; one name
        // holds a '%', which its text must not take for an escape.
        {"Photos", "lib_\xE9t\xE9", "Alb\xFCm 100% \xA9 1998"},
    };
    for (const auto& names : lists) {
        Settings s;
        std::vector<std::string> paths;
        {
            AppModel m(s.open());
            m.setFolderCheck([](const std::string&) { return false; });  // wait, do not open
            for (const std::string& name : names) {
                fs::create_directories(root / name);
                m.addLibrary(root / name + "/../" + name + "/");  // standardised before it is kept
                m.addLibrary(root / name);                        // kept once
                paths.push_back(root / name);
            }
            m.addLibrary(root / "photo.jpg");
            EXPECT_EQ(m.errorMessage(), "\u201cphoto.jpg\u201d is not a folder Vintrelle can open.");
            EXPECT_EQ(m.libraries(), paths);
        }
        EXPECT_EQ(AppModel(s.open()).libraries(), paths) << (names.empty() ? "none" : names[0]);
        // Stored as text a person can read: UTF-8 paths as they are.
        const QStringList stored = s.open()->value("libraries").toStringList();
        ASSERT_EQ(stored.size(), qsizetype(paths.size()));
        for (size_t i = 0; i < paths.size(); ++i) {
            if (QString::fromStdString(paths[i]).toStdString() == paths[i]) {
                EXPECT_EQ(stored[qsizetype(i)], QString::fromStdString(paths[i]));
            } else {
                EXPECT_TRUE(stored[qsizetype(i)].startsWith("file:///")) << stored[qsizetype(i)].toStdString();
            }
        }
    }
}

}  // namespace

// The folder question: the desktop's own chooser through the portal on a
// private session bus, answered as the desktop answers; Qt's widget panel
// with the question inside it where no portal answers; one panel at a time.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>

#include <filesystem>
#include <mutex>

#include "App/FolderPanel.h"
#include "PrivateBus.h"
#include "app/AppFixture.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
using apptest::PrivateBus;
using apptest::spinUntil;
namespace fs = std::filesystem;

// The portal's FileChooser as the desktop serves it: OpenFile answers with
// the request's handle at once; the choice comes later as its Response.
class FakeChooser : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.FileChooser")

public:
    struct Call {
        QString parent, title, handle;
        QVariantMap options;
    };
    std::vector<Call> calls() {
        std::lock_guard lock(m_);
        return calls_;
    }

public slots:
    QDBusObjectPath OpenFile(const QString& parent, const QString& title, const QVariantMap& options) {
        QString sender = message().service().mid(1);
        sender.replace(u'.', u'_');
        const QString handle =
            PrivateBus::portalPath + "/request/" + sender + "/" + options.value(QStringLiteral("handle_token")).toString();
        std::lock_guard lock(m_);
        calls_.push_back({parent, title, handle, options});
        return QDBusObjectPath(handle);
    }

private:
    std::mutex m_;
    std::vector<Call> calls_;
};

namespace {

struct Asked {
    int answers = 0;
    std::optional<std::string> folder;
    FolderPanel::Answer answer() {
        return [this](std::optional<std::string> f) {
            ++answers;
            folder = std::move(f);
        };
    }
};

void respond(PrivateBus& bus, const QString& handle, uint code, const QStringList& uris) {
    QDBusMessage signal =
        QDBusMessage::createSignal(handle, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"));
    signal << code << QVariantMap{{QStringLiteral("uris"), uris}};
    bus.send(signal);
}

QDialog* openWidgetPanel() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == QLatin1String("folderPanel") && w->isVisible()) return static_cast<QDialog*>(w);
    return nullptr;
}

}  // namespace

TEST(FolderPanel, ThePortalsChooserAnswers) {
    PrivateBus bus;
    if (!bus.ok()) GTEST_SKIP() << "no dbus-daemon";
    FakeChooser* chooser = bus.serve(new FakeChooser);
    fixtures::TempDir start;
    const std::string chosen = start / "Fotos \xC3\xBC";  // a blank and an umlaut: percent-encoded in the URI
    const std::string latin = start / "lib_\xE9t\xE9";     // named in Latin-1: its bytes, percent-encoded
    fs::create_directories(latin);

    struct Round {
        uint code;
        QStringList uris;
        std::optional<std::string> folder;
        std::string startFolder;
    };
    const Round rounds[] = {
        {0, {QString::fromLatin1(fileUrl(chosen).toEncoded())}, chosen, start.path()},
        {1, {}, std::nullopt, start.path()},                                        // cancelled
        {0, {QStringLiteral("https://example.org/x")}, std::nullopt, start.path()},  // not a local folder
        {0, {QString::fromLatin1(fileUrl(latin + "/x").toEncoded())}, latin + "/x", latin},
    };
    size_t n = 0;
    for (const Round& r : rounds) {
        Asked asked;
        FolderPanel::ask({QStringLiteral("Choose where to copy 3 items."), QStringLiteral("Export"), r.startFolder, true},
                         nullptr, asked.answer(), bus.client());
        EXPECT_TRUE(FolderPanel::isOpen());
        ASSERT_TRUE(spinUntil([&] { return chooser->calls().size() == n + 1; }));
        const FakeChooser::Call call = chooser->calls()[n++];
        EXPECT_EQ(call.title, "Choose where to copy 3 items.");
        EXPECT_EQ(call.options.value("accept_label").toString(), "Export");
        EXPECT_TRUE(call.options.value("directory").toBool());
        EXPECT_TRUE(call.options.value("modal").toBool());
        EXPECT_FALSE(call.options.value("multiple").toBool());
        EXPECT_EQ(call.options.value("current_folder").toByteArray(),
                  QByteArray(r.startFolder.c_str(), qsizetype(r.startFolder.size() + 1)));  // with its NUL
        // Asked again while the chooser is up: nothing more.
        FolderPanel::ask({QStringLiteral("again"), QStringLiteral("Export"), {}, true}, nullptr, asked.answer(),
                         bus.client());
        respond(bus, call.handle, r.code, r.uris);
        ASSERT_TRUE(spinUntil([&] { return asked.answers > 0; }));
        EXPECT_EQ(asked.folder, r.folder);
        EXPECT_EQ(asked.answers, 1);
        EXPECT_EQ(chooser->calls().size(), n);
        EXPECT_FALSE(FolderPanel::isOpen());
    }
}

TEST(FolderPanel, WithoutAPortalQtsPanelShowsTheQuestionInside) {
    PrivateBus bus;  // a bus without a portal on it, and no bus at all
    std::vector<QDBusConnection> buses{QDBusConnection(QStringLiteral("not-connected"))};
    if (bus.ok()) buses.push_back(bus.client());
    fixtures::TempDir start;
    for (const QDBusConnection& connection : buses) {
        for (bool mayCreate : {false, true}) {
            Asked asked;
            const QString message = QStringLiteral("Choose the folder that holds your photos. Every subfolder is included.");
            FolderPanel::ask({message, QStringLiteral("Add Folder"), start.path(), mayCreate}, nullptr, asked.answer(),
                             connection);
            ASSERT_TRUE(spinUntil([] { return openWidgetPanel() != nullptr; }));
            QDialog* panel = openWidgetPanel();
            EXPECT_EQ(panel->windowTitle(), "Add Folder");  // the title bar holds only what fits
            auto* shown = panel->findChild<QLabel*>(QStringLiteral("folderPanelMessage"));
            ASSERT_TRUE(shown);
            EXPECT_EQ(shown->text(), message);
            EXPECT_TRUE(shown->isVisible());
            auto* files = panel->findChild<QFileDialog*>();
            ASSERT_TRUE(files);
            EXPECT_EQ(QFile::encodeName(files->directory().absolutePath()).toStdString(), start.path());
            EXPECT_EQ(files->testOption(QFileDialog::ReadOnly), !mayCreate);
            EXPECT_EQ(files->fileMode(), QFileDialog::Directory);

            // Asked again: the same panel comes forward.
            FolderPanel::ask({message, QStringLiteral("Add Folder"), {}, false}, nullptr, asked.answer(), connection);
            QCoreApplication::processEvents();
            int panels = 0;
            for (QWidget* w : QApplication::topLevelWidgets())
                panels += w->objectName() == QLatin1String("folderPanel") && w->isVisible();
            EXPECT_EQ(panels, 1);

            if (mayCreate) {
                QMetaObject::invokeMethod(files, "accept", Qt::DirectConnection);  // the folder it shows
                EXPECT_EQ(asked.folder, start.path());
            } else {
                panel->reject();
                EXPECT_EQ(asked.folder, std::nullopt);
            }
            EXPECT_EQ(asked.answers, 1);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            EXPECT_FALSE(FolderPanel::isOpen());
        }
    }
}

#include "FolderPanelTest.moc"

// The desktop's dark preference read from a portal on a private session bus,
// as the desktop would answer, and light when there is no portal.

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QThread>

#include <atomic>

#include "App/AppModel.h"
#include "App/SystemAppearance.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;

namespace {

const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");

QVariant nested(const QVariant& v) { return QVariant::fromValue(QDBusVariant(v)); }

}  // namespace

// The portal's Settings interface as the desktop serves it: Read answers a
// variant holding a variant.
class FakePortal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    std::atomic<uint> scheme{0};

public slots:
    QDBusVariant Read(const QString& group, const QString& key) {
        if (group == QLatin1String("org.freedesktop.appearance") && key == QLatin1String("color-scheme"))
            return QDBusVariant(nested(QVariant(scheme.load())));
        return QDBusVariant(nested(QVariant(QString())));
    }
};

namespace {

// A session bus of the test's own; the portal serves it from another thread,
// as another process would.
class PrivateBus {
public:
    PrivateBus() {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) return;
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!daemon_.waitForStarted(5000)) return;
        while (address_.isEmpty() && daemon_.waitForReadyRead(5000))
            address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        if (portalThread_.isRunning()) {
            portalThread_.quit();
            portalThread_.wait();
        }
        delete portal_;
        for (const auto& name : {QStringLiteral("portal"), QStringLiteral("client")})
            QDBusConnection::disconnectFromBus(name);
        daemon_.kill();
        daemon_.waitForFinished();
    }
    bool ok() const { return !address_.isEmpty(); }
    QDBusConnection client() { return QDBusConnection::connectToBus(address_, QStringLiteral("client")); }
    FakePortal* servePortal(uint scheme) {
        portal_ = new FakePortal;
        portal_->scheme = scheme;
        portal_->moveToThread(&portalThread_);
        portalThread_.start();
        QDBusConnection bus = portalBus();
        bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
        bus.registerObject(kPath, portal_, QDBusConnection::ExportAllSlots);
        return portal_;
    }
    void announce(const QString& group, const QString& key, uint scheme) {
        QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("SettingChanged"));
        signal << group << key << QVariant::fromValue(QDBusVariant(QVariant(scheme)));
        portalBus().send(signal);
    }

private:
    QDBusConnection portalBus() { return QDBusConnection::connectToBus(address_, QStringLiteral("portal")); }

    QProcess daemon_;
    QString address_;
    QThread portalThread_;
    FakePortal* portal_ = nullptr;
};

}  // namespace

TEST(SystemAppearance, ReadsTheColourSchemeFromNestedVariants) {
    struct Case {
        QVariant value;
        bool dark;
    } cases[] = {
        {QVariant(1u), true},
        {nested(nested(QVariant(1u))), true},
        {nested(nested(QVariant(0u))), false},  // no preference
        {nested(nested(QVariant(2u))), false},  // light
        {nested(QVariant(QStringLiteral("dark"))), false},
        {QVariant(), false},
    };
    for (const auto& c : cases) EXPECT_EQ(SystemAppearance::colorSchemeIsDark(c.value), c.dark);
    // No bus at all, or no portal on it: light.
    EXPECT_FALSE(SystemAppearance(QDBusConnection(QStringLiteral("not-connected"))).prefersDark());
    PrivateBus bus;
    if (bus.ok()) {
        EXPECT_FALSE(SystemAppearance(bus.client()).prefersDark());
    }
}

TEST(SystemAppearance, TheModelFollowsThePortalOnlyWhenAskedTo) {
    PrivateBus bus;
    if (!bus.ok()) GTEST_SKIP() << "no dbus-daemon";
    bus.servePortal(1);
    fixtures::TempDir dir;
    AppModel m(std::make_unique<QSettings>(QString::fromStdString(dir / "settings.conf"), QSettings::IniFormat));
    AppModel::Desktop desktop;
    desktop.bus = [&] { return bus.client(); };
    m.setDesktop(std::move(desktop));
    QSignalSpy looks(&m, &AppModel::darkAppearanceChanged);
    auto announce = [&](const char* key, uint scheme) {
        bus.announce(QStringLiteral("org.freedesktop.appearance"), QString::fromLatin1(key), scheme);
    };
    EXPECT_FALSE(m.darkAppearance());  // "light" by default
    m.setAppearance("system");
    EXPECT_TRUE(m.darkAppearance());  // the nested reply of Read, over the bus
    announce("accent-color", 0);
    looks.wait(300);
    EXPECT_TRUE(m.darkAppearance());  // another key
    announce("color-scheme", 0);
    ASSERT_TRUE(looks.wait(5000));
    EXPECT_FALSE(m.darkAppearance());
    m.setAppearance("dark");
    announce("color-scheme", 1);
    announce("color-scheme", 0);
    looks.wait(300);
    EXPECT_TRUE(m.darkAppearance());  // a chosen look ignores the desktop's
    EXPECT_EQ(looks.size(), 3);
}

#include "SystemAppearanceTest.moc"

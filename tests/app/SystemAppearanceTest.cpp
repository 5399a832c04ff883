// The desktop's dark preference read from a portal on a private session bus,
// as the desktop would answer, and light when there is no portal.

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QSettings>
#include <QSignalSpy>

#include <atomic>

#include "App/AppModel.h"
#include "App/SystemAppearance.h"
#include "PrivateBus.h"
#include "fixtures/TempDir.h"

using namespace vintrelle;
using apptest::PrivateBus;

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

void servePortal(PrivateBus& bus, uint scheme) {
    auto* portal = new FakePortal;
    portal->scheme = scheme;
    bus.serve(portal);
}

void announceSetting(PrivateBus& bus, const QString& group, const QString& key, uint scheme) {
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, QStringLiteral("SettingChanged"));
    signal << group << key << QVariant::fromValue(QDBusVariant(QVariant(scheme)));
    bus.send(signal);
}

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
    servePortal(bus, 1);
    fixtures::TempDir dir;
    AppModel m(std::make_unique<QSettings>(QString::fromStdString(dir / "settings.conf"), QSettings::IniFormat));
    AppModel::Desktop desktop;
    desktop.bus = [&] { return bus.client(); };
    m.setDesktop(std::move(desktop));
    QSignalSpy looks(&m, &AppModel::darkAppearanceChanged);
    auto announce = [&](const char* key, uint scheme) {
        announceSetting(bus, QStringLiteral("org.freedesktop.appearance"), QString::fromLatin1(key), scheme);
    };
    EXPECT_FALSE(m.darkAppearance());  // "light" by default
    m.setAppearance("system");
    EXPECT_TRUE(m.darkAppearance());  // the nested reply of Read, over the bus
    announce("accent-color", 0);
    looks.wait(300);
    EXPECT_TRUE(m.darkAppearance());  // another key
    announce("color-scheme", 0);
    ASSERT_TRUE(looks.wait(fixtures::patientMs));
    EXPECT_FALSE(m.darkAppearance());
    m.setAppearance("dark");
    announce("color-scheme", 1);
    announce("color-scheme", 0);
    looks.wait(300);
    EXPECT_TRUE(m.darkAppearance());  // a chosen look ignores the desktop's
    EXPECT_EQ(looks.size(), 3);
}

#include "SystemAppearanceTest.moc"

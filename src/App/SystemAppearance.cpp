#include "App/SystemAppearance.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace vintrelle {
namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");
constexpr uint kPrefersDark = 1;

}  // namespace

bool SystemAppearance::colorSchemeIsDark(const QVariant& value) {
    QVariant v = value;
    for (int depth = 0; depth < 4 && v.metaType() == QMetaType::fromType<QDBusVariant>(); ++depth)
        v = v.value<QDBusVariant>().variant();
    bool ok = false;
    const uint scheme = v.toUInt(&ok);
    return ok && scheme == kPrefersDark;
}

SystemAppearance::SystemAppearance(QDBusConnection bus, QObject* parent) : QObject(parent), bus_(std::move(bus)) {
    if (!bus_.isConnected()) return;
    bus_.connect(kService, kPath, kInterface, QStringLiteral("SettingChanged"), this,
                 SLOT(settingChanged(QDBusMessage)));
    QDBusMessage read = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Read"));
    read << kGroup << kKey;
    const QDBusMessage reply = bus_.call(read, QDBus::Block, kStartTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        set(colorSchemeIsDark(reply.arguments().constFirst()));
        return;
    }
    // A portal that is still starting answers later; one that is missing
    // never does, and light stays.
    if (reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
        reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout")) {
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(read), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusMessage late = w->reply();
            if (late.type() == QDBusMessage::ReplyMessage && !late.arguments().isEmpty())
                set(colorSchemeIsDark(late.arguments().constFirst()));
        });
    }
}

void SystemAppearance::settingChanged(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() == 3 && args[0].toString() == kGroup && args[1].toString() == kKey)
        set(colorSchemeIsDark(args[2]));
}

void SystemAppearance::set(bool dark) {
    if (dark_ == dark) return;
    dark_ = dark;
    emit prefersDarkChanged();
}

}  // namespace vintrelle

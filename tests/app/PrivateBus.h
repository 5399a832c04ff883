#pragma once
// A session bus of the test's own, and a desktop portal on it served from
// another thread, as another process would serve it.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <memory>
#include <vector>

#include "fixtures/Patience.h"

namespace apptest {

class PrivateBus {
public:
    static inline const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");

    PrivateBus() {
        if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) return;
        daemon_.start(QStringLiteral("dbus-daemon"),
                      {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address")});
        if (!daemon_.waitForStarted(fixtures::patientMs)) return;
        while (address_.isEmpty() && daemon_.waitForReadyRead(fixtures::patientMs))
            address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
    }
    ~PrivateBus() {
        if (thread_.isRunning()) {
            thread_.quit();
            thread_.wait();
        }
        served_.clear();
        for (const auto& name : {QStringLiteral("portal"), QStringLiteral("client")})
            QDBusConnection::disconnectFromBus(name);
        daemon_.kill();
        daemon_.waitForFinished();
    }
    bool ok() const { return !address_.isEmpty(); }
    QDBusConnection client() { return QDBusConnection::connectToBus(address_, QStringLiteral("client")); }

    // Serves `portal` (owned from now on) as the portal's object.
    template <class Portal>
    Portal* serve(Portal* portal) {
        served_.emplace_back(portal);
        portal->moveToThread(&thread_);
        if (!thread_.isRunning()) thread_.start();
        QDBusConnection bus = portalBus();
        bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
        bus.registerObject(portalPath, portal, QDBusConnection::ExportAllSlots);
        return portal;
    }
    // A message from the portal's side (its signals).
    void send(const QDBusMessage& message) { portalBus().send(message); }

private:
    QDBusConnection portalBus() { return QDBusConnection::connectToBus(address_, QStringLiteral("portal")); }

    QProcess daemon_;
    QString address_;
    QThread thread_;
    std::vector<std::unique_ptr<QObject>> served_;
};

}  // namespace apptest

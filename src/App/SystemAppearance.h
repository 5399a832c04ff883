#pragma once
// The desktop's light or dark preference, read from the XDG desktop portal
// (org.freedesktop.appearance, key "color-scheme": 1 prefers dark, 0 and 2
// light) and followed while the application runs. Without a portal, or when
// it does not answer within half a second at start, the preference is light.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariant>

namespace vintrelle {

class SystemAppearance final : public QObject {
    Q_OBJECT

public:
    static constexpr int kStartTimeoutMs = 500;

    // Asks the portal on `bus` once, waiting at most kStartTimeoutMs.
    explicit SystemAppearance(QDBusConnection bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    bool prefersDark() const { return dark_; }

    // The portal's value as it arrives: a variant that may hold a variant
    // (the Read reply nests one in another). True only for 1.
    static bool colorSchemeIsDark(const QVariant& value);

signals:
    void prefersDarkChanged();

private slots:
    // The whole message, so the value's variant reaches the parser as sent.
    void settingChanged(const QDBusMessage& message);

private:
    void set(bool dark);

    QDBusConnection bus_;
    bool dark_ = false;
};

}  // namespace vintrelle

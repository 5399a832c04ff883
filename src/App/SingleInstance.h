#pragma once
// One Vintrelle per user session. The first launch holds a lock file and
// listens on a local socket; a later launch finds the lock taken, hands its
// request to the running instance through the socket and ends, and the
// running instance brings its window forward and opens what was asked.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

namespace vintrelle {

class SingleInstance final : public QObject {
    Q_OBJECT

public:
    static constexpr int kForwardTimeoutMs = 1000;

    // $XDG_RUNTIME_DIR/vintrelle.sock (Qt's private runtime folder when the
    // variable is missing).
    static QString defaultSocketPath();

    explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the one instance; it then listens for later
    // launches. A socket left by an instance that crashed is removed.
    bool claim();
    // From a later launch: hands `arguments` to the running instance and
    // waits up to `timeoutMs` for its answer. False when nobody answered.
    bool forward(const QStringList& arguments, int timeoutMs = kForwardTimeoutMs);

    const QString& socketPath() const { return socketPath_; }

signals:
    // The arguments a later launch handed over (absolute paths).
    void received(const QStringList& arguments);

private:
    void accept();

    QString socketPath_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace vintrelle

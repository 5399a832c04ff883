#pragma once
// One Vintrelle per user session. The first launch holds a lock file and
// listens on a local socket; a later launch finds the lock taken, hands its
// request to the running instance through the socket and ends, and the
// running instance brings its window forward and opens what was asked, once
// the launch has confirmed that it still waits (see forward()).
// Only a lock that another process really holds hands a launch over: when
// the runtime folder cannot take the lock at all (missing, read-only, full)
// the launch goes on as an instance of its own, without the guard.

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

    enum class Claim {
        first,       // this process is the one instance, and listens for later launches
        elsewhere,   // another process holds the lock: hand the launch over
        unguarded,   // no lock could be had or held (see whyUnguarded): run all the same
    };
    // A socket left by an instance that crashed is removed, and so is a lock
    // file that no process holds (one left by a crash while it was written).
    Claim claim();
    // Why the last claim answered `unguarded`, for the log.
    const QString& whyUnguarded() const { return whyUnguarded_; }
    // From a later launch: hands `arguments` to the running instance and
    // waits up to `timeoutMs` for its answer. True when the instance took
    // them and will open them; false when nobody answered in time, and then
    // the instance never opens them, however late it reads them.
    bool forward(const QStringList& arguments, int timeoutMs = kForwardTimeoutMs);

    const QString& socketPath() const { return socketPath_; }
    QString lockPath() const { return lock_.fileName(); }

signals:
    // The arguments a later launch handed over (absolute paths).
    void received(const QStringList& arguments);
    // The arguments of a later launch that stopped waiting for this instance
    // before it answered: they are not carried out.
    void withdrawn(const QStringList& arguments);

private:
    void accept();

    Claim unguarded(QString why);

    QString socketPath_;
    QLockFile lock_;
    QString whyUnguarded_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace vintrelle

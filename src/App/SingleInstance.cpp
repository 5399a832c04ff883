#include "App/SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace vintrelle {
namespace {

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_0;
constexpr qint64 kMaxMessageBytes = 1 << 20;
// The hand-over: the launch sends its request, the instance answers that it
// has it, and only the launch's go-ahead makes the instance carry it out. A
// launch that stops waiting withdraws its request by closing without the
// go-ahead, so it is never carried out after the launch said it failed.
const QByteArray kReady = QByteArrayLiteral("ready");
const QByteArray kGo = QByteArrayLiteral("go");
// What an instance of an earlier version answers once it has carried the
// request out.
const QByteArray kTakenAtOnce = QByteArrayLiteral("ok");

// Waits in a local event loop, so that an instance in the same thread (or the
// rest of the application) keeps running meanwhile.
template <class Signal>
bool waitFor(QLocalSocket& socket, Signal signal, int timeoutMs, const std::function<bool()>& done) {
    if (done()) return true;
    if (timeoutMs <= 0) return false;
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&socket, signal, &loop, [&] {
        if (done()) loop.quit();
    });
    QObject::connect(&socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    QObject::connect(&socket, &QLocalSocket::errorOccurred, &loop, &QEventLoop::quit);
    timer.start(timeoutMs);
    loop.exec();
    return done();
}

// How long a lock file that nobody holds may be a launch's that has made it
// and is about to take it.
constexpr auto kLockTakingGrace = std::chrono::milliseconds(300);

// Who holds a lock file. QLockFile holds a lock of the system's on its file
// for as long as it is locked, so a lock that is really held says so; a file
// that is not held was left by a process that ended while writing it.
enum class Holder { someone, nobody, unknown };

Holder lockHolder(const QString& lockPath) {
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return errno == ENOENT ? Holder::nobody : Holder::unknown;
    Holder holder = Holder::unknown;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) holder = Holder::nobody;
    else if (errno == EWOULDBLOCK) holder = Holder::someone;
    ::close(fd);
    return holder;
}

// Removes a lock file while making sure, under a lock of its own, that
// nobody took it meanwhile.
void removeUnheldLock(const QString& lockPath) {
    const QByteArray path = QFile::encodeName(lockPath);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.constData());
    ::close(fd);
}

// Why a lock file could not be made in its folder, as a person reads it.
QString whyNoLock(const QString& lockPath, QLockFile::LockError error) {
    const QString dir = QFileInfo(lockPath).absolutePath();
    const QByteArray native = QFile::encodeName(dir);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode))
        return QStringLiteral("the runtime folder %1 does not exist").arg(dir);
    if (::access(native.constData(), W_OK) != 0 || error == QLockFile::PermissionError)
        return QStringLiteral("the runtime folder %1 cannot be written").arg(dir);
    struct statvfs fs {};
    if (::statvfs(native.constData(), &fs) == 0 && fs.f_bavail == 0)
        return QStringLiteral("the runtime folder %1 is full").arg(dir);
    return QStringLiteral("the lock file %1 could not be made").arg(lockPath);
}

}  // namespace

QString SingleInstance::defaultSocketPath() {
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty()) dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return QDir(dir).filePath(QStringLiteral("vintrelle.sock"));
}

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)), lock_(socketPath_ + QStringLiteral(".lock")) {
    // The lock is stale only when its process is gone, never by its age: the
    // first instance may run for days.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
}

SingleInstance::Claim SingleInstance::claim() {
    if (server_) return Claim::first;
    const QString lockPath = lock_.fileName();
    if (!lock_.tryLock(0)) {
        if (lock_.error() != QLockFile::LockFailedError) return unguarded(whyNoLock(lockPath, lock_.error()));
        // The file is there. Held, or as good as held (no way to tell): the
        // running instance takes the launch.
        Holder holder = lockHolder(lockPath);
        if (holder == Holder::nobody) {
            // Perhaps a launch that has just made it and is about to hold it.
            std::this_thread::sleep_for(kLockTakingGrace);
            holder = lockHolder(lockPath);
        }
        if (holder != Holder::nobody) return Claim::elsewhere;
        removeUnheldLock(lockPath);
        if (!lock_.tryLock(0)) {
            if (lock_.error() == QLockFile::LockFailedError && lockHolder(lockPath) != Holder::nobody)
                return Claim::elsewhere;
            return unguarded(lock_.error() == QLockFile::LockFailedError
                                 ? QStringLiteral("the lock file %1 is held by nobody but cannot be replaced").arg(lockPath)
                                 : whyNoLock(lockPath, lock_.error()));
        }
    }
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath_)) {
        // A socket file is left over. If something answers on it, that is the
        // instance; otherwise it is a crashed one's and goes.
        QLocalSocket probe;
        probe.connectToServer(socketPath_);
        if (probe.waitForConnected(200)) {
            lock_.unlock();
            return Claim::elsewhere;
        }
        QLocalServer::removeServer(socketPath_);
        if (!server->listen(socketPath_)) {
            // No later launch could reach this one: they run on their own too.
            lock_.unlock();
            return unguarded(QStringLiteral("nothing can listen on %1 (%2)").arg(socketPath_, server->errorString()));
        }
    }
    connect(server.get(), &QLocalServer::newConnection, this, &SingleInstance::accept);
    server_ = std::move(server);
    return Claim::first;
}

SingleInstance::Claim SingleInstance::unguarded(QString why) {
    whyUnguarded_ = std::move(why);
    return Claim::unguarded;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        // The request once it has come whole, until it is carried out.
        auto request = std::make_shared<std::optional<QStringList>>();
        connect(socket, &QLocalSocket::readyRead, this, [this, socket, request] {
            if (!*request) {
                if (socket->bytesAvailable() > kMaxMessageBytes) {
                    socket->abort();
                    return;
                }
                QDataStream in(socket);
                in.setVersion(kStreamVersion);
                in.startTransaction();
                QStringList arguments;
                in >> arguments;
                if (!in.commitTransaction()) return;  // more to come
                *request = std::move(arguments);
                socket->write(kReady);
                socket->flush();
            }
            if (socket->bytesAvailable() < kGo.size()) return;
            if (socket->read(kGo.size()) != kGo) {
                socket->abort();
                return;
            }
            const QStringList arguments = std::move(**request);
            request->reset();
            socket->disconnectFromServer();
            emit received(arguments);
        });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket, request] {
            socket->deleteLater();
            if (*request) emit withdrawn(**request);
        });
    }
}

bool SingleInstance::forward(const QStringList& arguments, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    auto left = [&] { return std::max(0, timeoutMs - static_cast<int>(clock.elapsed())); };
    QLocalSocket socket;
    socket.connectToServer(socketPath_);
    if (socket.state() == QLocalSocket::UnconnectedState) return false;  // nobody listens
    if (!waitFor(socket, &QLocalSocket::connected, left(),
                 [&] { return socket.state() == QLocalSocket::ConnectedState; }))
        return false;
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(kStreamVersion);
    out << arguments;
    socket.write(bytes);
    socket.flush();
    QByteArray answer;
    waitFor(socket, &QLocalSocket::readyRead, left(), [&] {
        answer += socket.readAll();
        return answer.startsWith(kReady) || answer.startsWith(kTakenAtOnce);
    });
    if (answer.startsWith(kTakenAtOnce)) return true;
    if (!answer.startsWith(kReady)) {
        socket.abort();  // withdrawn: an instance that answers later carries nothing out
        return false;
    }
    // Once in the system's buffer, the go-ahead reaches the instance even
    // after this process has ended.
    socket.write(kGo);
    socket.flush();
    return socket.bytesToWrite() == 0 || socket.waitForBytesWritten(std::max(left(), 100));
}

}  // namespace vintrelle

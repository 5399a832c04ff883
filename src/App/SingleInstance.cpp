#include "App/SingleInstance.h"

#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QTimer>

#include <algorithm>
#include <functional>

namespace vintrelle {
namespace {

constexpr QDataStream::Version kStreamVersion = QDataStream::Qt_6_0;
constexpr qint64 kMaxMessageBytes = 1 << 20;
const QByteArray kAnswer = QByteArrayLiteral("ok");

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

bool SingleInstance::claim() {
    if (server_) return true;
    if (!lock_.tryLock(0)) return false;
    auto server = std::make_unique<QLocalServer>();
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath_)) {
        // A socket file is left over. If something answers on it, that is the
        // instance; otherwise it is a crashed one's and goes.
        QLocalSocket probe;
        probe.connectToServer(socketPath_);
        if (probe.waitForConnected(200)) {
            lock_.unlock();
            return false;
        }
        QLocalServer::removeServer(socketPath_);
        if (!server->listen(socketPath_)) {
            lock_.unlock();
            return false;
        }
    }
    connect(server.get(), &QLocalServer::newConnection, this, &SingleInstance::accept);
    server_ = std::move(server);
    return true;
}

void SingleInstance::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
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
            // Answer first, so the launching process can end while the
            // library opens.
            socket->write(kAnswer);
            socket->flush();
            socket->disconnectFromServer();
            emit received(arguments);
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
    return waitFor(socket, &QLocalSocket::readyRead, left(), [&] {
        answer += socket.readAll();
        return answer.startsWith(kAnswer);
    });
}

}  // namespace vintrelle

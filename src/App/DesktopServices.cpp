#include "App/DesktopServices.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QDesktopServices>
#include <QMenu>
#include <QMimeData>
#include <QSocketNotifier>

#include <charconv>

#include "App/AppModel.h"
#include "App/FolderPanel.h"

extern char** environ;

namespace vintrelle {

namespace {

// Runs `call` on the session bus without waiting; `failed` runs on the main
// thread when the call could not be made or was answered with an error.
void callWithoutWaiting(const QDBusMessage& call, std::function<void(const QDBusError&)> failed) {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        failed(bus.lastError());
        return;
    }
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 10000), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [failed = std::move(failed)](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         if (w->isError()) failed(w->error());
                     });
}

// A pipe whose read end does not block and whose ends are not the
// descriptor the shell is handed the write end as (3), both closed in any
// program started.
bool openStatusPipe(int (&fds)[2]) {
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    for (int& fd : fds) {
        if (fd > 3) continue;
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 4);
        ::close(fd);
        fd = moved;
    }
    if (fds[0] < 0 || fds[1] < 0 || ::fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
        return false;
    }
    return true;
}

// Reads the exit status a background shell writes into a pipe, until the
// pipe ends, and hands it on (nothing when the shell wrote none); then goes.
// Owned by the application, so a pipe still open when it quits is closed.
class ExitStatusReader final : public QObject {
public:
    ExitStatusReader(int fd, std::function<void(std::optional<int>)> done)
        : QObject(qApp), fd_(fd), done_(std::move(done)), notifier_(fd, QSocketNotifier::Read) {
        connect(&notifier_, &QSocketNotifier::activated, this, &ExitStatusReader::read);
    }
    ~ExitStatusReader() override { ::close(fd_); }

private:
    void read() {
        char buf[32];
        const ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0) {
            text_.append(buf, size_t(n));
            return;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
        notifier_.setEnabled(false);
        int code = 0;
        const char* first = text_.data();
        const auto [end, error] = std::from_chars(first, first + text_.size(), code);
        const std::optional<int> status = error == std::errc() && end != first ? std::optional(code) : std::nullopt;
        auto done = std::move(done_);
        deleteLater();
        if (done) done(status);
    }

    int fd_;
    std::function<void(std::optional<int>)> done_;
    QSocketNotifier notifier_;
    std::string text_;
};

QUrl folderOf(const QUrl& file) {
    std::string path = localPath(file);
    const size_t slash = path.rfind('/');
    path = slash == 0 ? "/" : path.substr(0, slash);
    return fileUrl(path);
}

}  // namespace

std::unique_ptr<QMimeData> fileClipboardData(const QList<QUrl>& files) {
    auto mime = std::make_unique<QMimeData>();
    mime->setUrls(files);
    QByteArray gnome("copy");
    for (const QUrl& url : files) gnome += '\n' + url.toEncoded();
    mime->setData(QStringLiteral("x-special/gnome-copied-files"), gnome);
    return mime;
}

std::string localPath(const QUrl& file) {
    return QByteArray::fromPercentEncoding(file.path(QUrl::FullyEncoded).toLatin1()).toStdString();
}

void DesktopServices::setClipboard(std::unique_ptr<QMimeData> data) {
    QGuiApplication::clipboard()->setMimeData(data.release());
}

void DesktopServices::openUrl(const QUrl& url) { QDesktopServices::openUrl(url); }

void DesktopServices::showItems(const QList<QUrl>& files) {
    if (files.isEmpty()) return;
    QStringList uris;
    for (const QUrl& url : files) uris.push_back(QString::fromLatin1(url.toEncoded()));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << uris << QString();
    callWithoutWaiting(call, [folder = folderOf(files.front())](const QDBusError& error) {
        // A file manager that is slow to answer may still show the files.
        if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout) return;
        QDesktopServices::openUrl(folder);
    });
}

void DesktopServices::email(const std::vector<std::string>& files,
                            std::function<void(std::optional<MailFailure>)> done) {
    if (files.empty()) return;
    // The names go to xdg-email as the bytes on disk; the shell puts it in
    // the background and ends at once, so the mail program is nobody's child.
    // Its exit status comes back through a pipe on the shell's descriptor 3,
    // which the mail program does not inherit.
    std::vector<std::string> args = {"/bin/sh", "-c",
                                     done ? "{ xdg-email \"$@\" </dev/null >/dev/null 2>&1 3>&-; echo $? >&3; } &"
                                          : "xdg-email \"$@\" </dev/null >/dev/null 2>&1 &",
                                     "sh"};
    for (const std::string& f : files) {
        args.push_back("--attach");
        args.push_back(f);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int status[2] = {-1, -1};
    if (done && !openStatusPipe(status)) return done(MailFailure::failed);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (done) posix_spawn_file_actions_adddup2(&actions, status[1], 3);
    pid_t pid = 0;
    const bool started = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (done) ::close(status[1]);
    if (started) {
        int ended = 0;
        while (::waitpid(pid, &ended, 0) < 0 && errno == EINTR) {
        }
    }
    if (!done) return;
    if (!started) {
        ::close(status[0]);
        return done(MailFailure::failed);
    }
    new ExitStatusReader(status[0], [done = std::move(done)](std::optional<int> code) {
        // 3: xdg-email found no mail program to hand the mail to; 127: the
        // shell found no xdg-email.
        if (!code || *code == 0) done(std::nullopt);
        else done(*code == 3 || *code == 127 ? MailFailure::noMailProgram : MailFailure::failed);
    });
}

void DesktopServices::openWith(const QUrl& file) {
    // The portal takes the file itself, so its name need not be text.
    const int fd = ::open(localPath(file).c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) return;
    QDBusUnixFileDescriptor handle(fd);
    ::close(fd);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.portal.OpenURI"), QStringLiteral("OpenFile"));
    call << QString() << QVariant::fromValue(handle) << QVariantMap{{QStringLiteral("ask"), true}};
    callWithoutWaiting(call, [file](const QDBusError& error) {
        if (error.type() == QDBusError::NoReply || error.type() == QDBusError::Timeout) return;
        QDesktopServices::openUrl(file);
    });
}

void DesktopServices::chooseFolder(const FolderRequest& request, std::function<void(const std::string&)> chosen) {
    FolderPanel::ask({request.title, request.accept, request.startFolder, request.mayCreate},
                     QApplication::activeWindow(), [chosen = std::move(chosen)](std::optional<std::string> folder) {
                         if (folder && !folder->empty()) chosen(*folder);
                     });
}

void DesktopServices::popupMenu(std::unique_ptr<QMenu> menu, const QPoint& globalPos) {
    QMenu* m = menu.release();
    // Deleted on the next turn of the loop, after the chosen item has run.
    QObject::connect(m, &QMenu::aboutToHide, m, &QObject::deleteLater);
    m->popup(globalPos);
}

std::optional<QPoint> DesktopServices::menuAnchor() const {
    if (!QApplication::activeWindow()) return std::nullopt;
    return QCursor::pos();
}

}  // namespace vintrelle

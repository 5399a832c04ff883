#include "App/FolderPanel.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>
#include <system_error>
#include <utility>

#include "App/DesktopServices.h"

namespace vintrelle {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kChooser = QStringLiteral("org.freedesktop.portal.FileChooser");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
// The reply to OpenFile comes before the chooser is shown; only a portal
// that is still being started by the bus takes a while.
constexpr int kCallTimeoutMs = 10000;
constexpr uint kResponseChosen = 0;

// The panel open now: a widget dialog, or a request to the portal.
QPointer<QObject>& openPanel() {
    static QPointer<QObject> open;
    return open;
}

// How the portal finds the window to put its chooser over (X11 only: a
// Wayland surface would have to be exported first, and a chooser without a
// parent is still shown).
QString parentWindowId(QWidget* window) {
    if (!window || QGuiApplication::platformName() != QLatin1String("xcb")) return {};
    return QStringLiteral("x11:") + QString::number(window->window()->winId(), 16);
}

// Where Qt's panel opens. It lists only folders whose names are text, so a
// start folder named in other bytes leaves it to choose.
QString startFolderOf(const FolderQuestion& q) {
    QString start = QFile::decodeName(QByteArray::fromStdString(q.startFolder));
    if (!start.isEmpty() && QDir(start).exists()) return start;
    return {};
}

bool isFolder(const std::string& path) {
    std::error_code ec;
    return !path.empty() && std::filesystem::is_directory(path, ec);
}

// One question to the portal: the call, then the Response signal on the
// request's handle. A portal that cannot be reached hands over to the
// widget panel.
class PortalRequest : public QObject {
    Q_OBJECT
public:
    PortalRequest(QDBusConnection bus, FolderQuestion question, QWidget* window, FolderPanel::Answer answer)
        : bus_(std::move(bus)), question_(std::move(question)), window_(window), answer_(std::move(answer)) {}

    void start() {
        static int serial = 0;
        const QString token = QStringLiteral("vintrelle_folder_%1").arg(++serial);
        // Listening first: the answer may come before the call's reply.
        listen(FolderPanel::requestPath(bus_, token));
        QVariantMap options{{QStringLiteral("handle_token"), token},
                            {QStringLiteral("accept_label"), question_.accept},
                            {QStringLiteral("modal"), true},
                            {QStringLiteral("multiple"), false},
                            {QStringLiteral("directory"), true}};
        // The path as bytes with their terminating NUL, as the portal takes it.
        if (isFolder(question_.startFolder))
            options.insert(QStringLiteral("current_folder"), QByteArray(question_.startFolder.c_str(),
                                                                          qsizetype(question_.startFolder.size() + 1)));
        QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kChooser, QStringLiteral("OpenFile"));
        call << parentWindowId(window_) << question_.message << options;
        auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMs), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            const QDBusPendingReply<QDBusObjectPath> reply = *w;
            if (reply.isError()) return fallBack();
            // An older portal may answer on a handle of its own choosing.
            if (const QString handle = reply.value().path(); handle != listening_) listen(handle);
        });
    }

public slots:
    void response(uint code, const QVariantMap& results) {
        std::optional<std::string> chosen;
        if (code == kResponseChosen) {
            const QStringList uris = qdbus_cast<QStringList>(results.value(QStringLiteral("uris")));
            if (!uris.isEmpty()) {
                const QUrl url(uris.constFirst());
                if (url.isLocalFile()) chosen = localPath(url);
            }
        }
        finish(std::move(chosen));
    }

private:
    void listen(const QString& path) {
        if (!listening_.isEmpty())
            bus_.disconnect(kService, listening_, kRequest, QStringLiteral("Response"), this,
                            SLOT(response(uint, QVariantMap)));
        listening_ = path;
        bus_.connect(kService, path, kRequest, QStringLiteral("Response"), this, SLOT(response(uint, QVariantMap)));
    }
    void fallBack() {
        if (done_) return;
        done_ = true;
        bus_.disconnect(kService, listening_, kRequest, QStringLiteral("Response"), this,
                        SLOT(response(uint, QVariantMap)));
        // The panel that stands in is the open one from now on.
        openPanel() = FolderPanel::widgetPanel(question_, window_, std::move(answer_));
        deleteLater();
    }
    void finish(std::optional<std::string> chosen) {
        if (done_) return;
        done_ = true;
        if (openPanel() == this) openPanel() = nullptr;
        bus_.disconnect(kService, listening_, kRequest, QStringLiteral("Response"), this,
                        SLOT(response(uint, QVariantMap)));
        const FolderPanel::Answer answer = std::move(answer_);
        deleteLater();
        if (answer) answer(std::move(chosen));
    }

    QDBusConnection bus_;
    FolderQuestion question_;
    QPointer<QWidget> window_;
    FolderPanel::Answer answer_;
    QString listening_;
    bool done_ = false;
};

}  // namespace

QString FolderPanel::requestPath(const QDBusConnection& bus, const QString& token) {
    QString sender = bus.baseService();
    if (sender.startsWith(u':')) sender.remove(0, 1);
    sender.replace(u'.', u'_');
    return kPath + QStringLiteral("/request/") + sender + u'/' + token;
}

bool FolderPanel::isOpen() { return !openPanel().isNull(); }

void FolderPanel::ask(const FolderQuestion& question, QWidget* window, Answer answer, QDBusConnection bus) {
    if (QObject* open = openPanel()) {
        auto* dialog = qobject_cast<QDialog*>(open);
        if (!dialog) return;  // the portal's chooser: the desktop keeps it in front
        if (dialog->isVisible()) {
            dialog->raise();
            dialog->activateWindow();
            return;
        }
    }
    if (!bus.isConnected()) {
        openPanel() = widgetPanel(question, window, std::move(answer));
        return;
    }
    auto* request = new PortalRequest(std::move(bus), question, window, std::move(answer));
    // A question the desktop never answers goes with the application.
    request->setParent(QCoreApplication::instance());
    openPanel() = request;
    request->start();
}

QDialog* FolderPanel::widgetPanel(const FolderQuestion& question, QWidget* window, Answer answer) {
    auto* panel = new QDialog(window ? window->window() : nullptr);
    panel->setObjectName(QStringLiteral("folderPanel"));
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowModality(Qt::WindowModal);
    // The title bar shows what the panel is for; the question itself, too
    // long for a title bar, stands at the top of the panel.
    panel->setWindowTitle(question.accept);
    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(0, 14, 0, 0);
    column->setSpacing(6);
    auto* message = new QLabel(question.message, panel);
    message->setObjectName(QStringLiteral("folderPanelMessage"));
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setContentsMargins(16, 0, 16, 0);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    column->addWidget(message);

    auto* files = new QFileDialog(panel);
    files->setWindowFlags(Qt::Widget);
    files->setOption(QFileDialog::DontUseNativeDialog);
    files->setFileMode(QFileDialog::Directory);
    files->setOption(QFileDialog::ShowDirsOnly);
    files->setOption(QFileDialog::ReadOnly, !question.mayCreate);
    files->setLabelText(QFileDialog::Accept, question.accept);
    QString start = startFolderOf(question);
    if (start.isEmpty()) start = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (start.isEmpty() || !QDir(start).exists()) start = QDir::homePath();
    files->setDirectory(start);
    column->addWidget(files, 1);
    // Its buttons as the application's other buttons: words, no pictures.
    for (auto* box : files->findChildren<QDialogButtonBox*>())
        for (QAbstractButton* button : box->buttons()) button->setIcon(QIcon());
    panel->resize(760, 480);

    // The embedded dialog answers once, then the panel closes.
    struct Once {
        Answer answer;
        bool done = false;
        void chosen(const QString& folder) {
            if (folder.isEmpty()) return cancelled();
            if (std::exchange(done, true)) return;
            if (answer) answer(QFile::encodeName(folder).toStdString());
        }
        void cancelled() {
            if (std::exchange(done, true)) return;
            if (answer) answer(std::nullopt);
        }
    };
    auto once = std::make_shared<Once>();
    once->answer = std::move(answer);
    QObject::connect(files, &QFileDialog::fileSelected, panel, [once](const QString& folder) { once->chosen(folder); });
    QObject::connect(files, &QDialog::finished, panel, [panel, once] {
        once->cancelled();
        panel->close();
    });
    QObject::connect(panel, &QDialog::finished, panel, [once] { once->cancelled(); });
    panel->open();
    return panel;
}

}  // namespace vintrelle

#include "FolderPanel.moc"

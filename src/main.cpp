// Vintrelle: a photo library over a folder of photos and videos.

#include <QApplication>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "App/AppModel.h"
#include "App/LaunchRequest.h"
#include "App/QuitSignals.h"
#include "App/SingleInstance.h"
#include "Core/Media/MediaProcessor.h"
#include "VintrelleApp.h"

using namespace vintrelle;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    VintrelleApp::prepare(app);

    // The arguments as the bytes they are (QApplication has taken its own
    // out), against the folder as the bytes it is: a decoded name would have
    // lost what it was.
    std::error_code noFolder;
    const std::string workingDir = std::filesystem::current_path(noFolder).string();
    const LaunchRequest request = parseLaunchArguments(std::vector<std::string>(argv + 1, argv + argc),
                                                       noFolder ? std::string("/") : workingDir);
    // A second launch hands its folders to the running one and ends. When
    // the runtime folder cannot take the lock at all, this launch runs on its
    // own, and says why.
    SingleInstance instance;
    switch (instance.claim()) {
        case SingleInstance::Claim::first: break;
        case SingleInstance::Claim::elsewhere:
            if (instance.forward(request.toArguments())) return 0;
            qWarning("Vintrelle is already running but did not answer in time, so it opens nothing of this launch; "
                     "the lock is %s",
                     qUtf8Printable(instance.lockPath()));
            return 1;
        case SingleInstance::Claim::unguarded:
            qWarning("Vintrelle: the single-instance guard is off: %s", qUtf8Printable(instance.whyUnguarded()));
            break;
    }

    MediaProcessor::initialize();
    AppModel& model = AppModel::shared();
    std::unique_ptr<MainWindow> window = VintrelleApp::makeWindow(model);

    QObject::connect(&instance, &SingleInstance::received, window.get(), [&model, w = window.get()](const QStringList& args) {
        if (w->isMinimized()) w->showNormal();
        w->raise();
        w->activateWindow();
        model.openLaunchRequest(parseLaunchArguments(args, QStringLiteral("/")));
    });
    QObject::connect(&instance, &SingleInstance::withdrawn, [](const QStringList& args) {
        qWarning("Vintrelle: a later launch stopped waiting before this one answered; it opens nothing of it (%s)",
                 qUtf8Printable(args.join(u' ')));
    });
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, window.get(), [w = window.get()] { w->close(); });

    window->show();
    model.bootstrap(request);
    const int status = app.exec();

    // The library first (its engine and watcher stop, or its rebuild), then
    // the exports still copying, then the windows, which let go of the store
    // so its threads are joined.
    model.closeStore();
    model.stopRebuild();
    model.stopFileWork();
    window.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return status;
}

// vintrelle-probe ui ... --settings: pictures the settings window, opened the
// way the footer's gear and Ctrl+, open it, instead of the main window. The
// picture waits for the index size to be measured.

#include <QWindow>

#include "UI/Window/MainWindow.h"
#include "UI/Window/SettingsView.h"
#include "UiProbe.h"
#include "VintrelleApp.h"

namespace {

using namespace vintrelle;

constexpr int kWaitMs = 20000;

template <class Done>
bool spinUntil(Done done) {
    return VintrelleApp::waitFor(kWaitMs, done);
}

probe::UiOption reg("--settings", "", probe::UiStage::beforeGrab,
                    [](probe::UiSession& s, const std::string&) -> std::string {
                        s.window.showSettings();
                        QWidget* settings = s.window.settingsWindow();
                        if (!settings) return "the settings window did not open";
                        if (!spinUntil([&] { return settings->windowHandle() && settings->windowHandle()->isExposed(); }))
                            return "the settings window was never shown";
                        if (auto* view = qobject_cast<SettingsView*>(settings))
                            spinUntil([&] { return !view->librarySection() || view->indexSize() != QStringLiteral("\u2026"); });
                        settings->repaint();
                        s.picture = settings;
                        return {};
                    });

}  // namespace

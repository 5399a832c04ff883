#pragma once
// An application model on its own settings, a library in a temporary folder
// behind a real store, and the window's root view over them, shown on the
// offscreen platform.

#include <QApplication>
#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UI/Kit/TextPromptSheet.h"
#include "UI/Kit/Theme.h"
#include "UI/Window/RootView.h"
#include "app/AppFixture.h"

namespace windowtest {

using namespace vintrelle;
using apptest::spinUntil;

inline std::vector<Asset> someAssets(int n) {
    std::vector<Asset> list;
    for (int i = 1; i <= n; ++i) list.push_back(apptest::makeAsset(i, "2021/Rome/IMG_" + std::to_string(i) + ".jpg", 1.6e9 + i));
    return list;
}

// Making a library's index takes a while: a world has one only when asked.
struct World {
    apptest::Model model;
    fixtures::TempDir dir;  // the test's own folders
    std::optional<apptest::Library> library;
    std::unique_ptr<RootView> root;

    explicit World(std::optional<std::vector<Asset>> assets = std::nullopt, QSize size = {1100, 700}) {
        if (assets) library.emplace(*assets);
        Theme::setDark(false);
        root = std::make_unique<RootView>(*model);
        root->resize(size);
        root->show();
        settle();
    }
    ~World() {
        root.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    // The library open, as the model leaves it after opening a folder.
    apptest::Library& lib() { return *library; }
    void open() {
        model->setLibraryPath(lib().dir.path());
        model->setWaitingForPath(std::nullopt);
        model->setStore(lib().store);
        settle();
    }
    // Folders open as awaited ones: nothing of them is indexed.
    void openNothing() {
        model->setFolderCheck([](const std::string&) { return false; });
    }
    void settle() {
        root->finishAnimations();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        root->finishAnimations();
    }
};

// Sheets open as the application opens them (never exec()), and the test
// keeps the last one to drive it.
struct PromptSeam {
    QPointer<TextPromptSheet> sheet;
    int presented = 0;
    PromptSeam() {
        TextPromptSheet::setPresenter([this](TextPromptSheet* s) {
            sheet = s;
            ++presented;
            s->open();
        });
    }
    ~PromptSeam() { TextPromptSheet::setPresenter(nullptr); }
};

}  // namespace windowtest

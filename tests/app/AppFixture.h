#pragma once
// An application model on its own settings file in a temporary folder, and a
// log of the change signals it emits.

#include <QSettings>

#include <map>
#include <memory>
#include <string>

#include "App/AppModel.h"
#include "fixtures/TempDir.h"
#include "store/StoreFixture.h"

namespace apptest {

using namespace vintrelle;
using storetest::makeAsset;
using storetest::spinUntil;

struct Settings {
    fixtures::TempDir dir;
    std::string file = dir / "settings.conf";
    std::unique_ptr<QSettings> open() const {
        return std::make_unique<QSettings>(QString::fromStdString(file), QSettings::IniFormat);
    }
};

// A model whose settings file lives as long as it does.
struct Model {
    Settings settings;
    std::unique_ptr<AppModel> model = std::make_unique<AppModel>(settings.open());
    AppModel* operator->() { return model.get(); }
    AppModel& operator*() { return *model; }
    ~Model() {
        if (model) model->closeStore();
    }
};

// Counts each change signal of a model.
struct SignalCounts {
    std::map<std::string, int> counts;
    QObject context;  // disconnects when the log goes
    explicit SignalCounts(AppModel& m) {
        auto on = [&](auto signal, const char* name) {
            QObject::connect(&m, signal, &context, [this, name] { ++counts[name]; });
        };
        on(&AppModel::librariesChanged, "libraries");
        on(&AppModel::storeChanged, "store");
        on(&AppModel::libraryPathChanged, "libraryPath");
        on(&AppModel::waitingForPathChanged, "waitingForPath");
        on(&AppModel::errorMessageChanged, "errorMessage");
        on(&AppModel::routeChanged, "route");
        on(&AppModel::backStackChanged, "backStack");
        on(&AppModel::searchChanged, "search");
        on(&AppModel::activeSearchChanged, "activeSearch");
        on(&AppModel::searchFocusTokenChanged, "searchFocusToken");
        on(&AppModel::selectionChanged, "selection");
        on(&AppModel::viewerChanged, "viewer");
        on(&AppModel::visibleSectionChanged, "visibleSection");
        on(&AppModel::scrollRequestChanged, "scrollRequest");
        on(&AppModel::albumPromptChanged, "albumPrompt");
        on(&AppModel::renamePromptChanged, "renamePrompt");
        on(&AppModel::sidebarRouteChanged, "sidebarRoute");
        on(&AppModel::routeTitleChanged, "routeTitle");
        on(&AppModel::gridContentChanged, "gridContent");
    }
    int operator[](const std::string& name) const {
        auto it = counts.find(name);
        return it == counts.end() ? 0 : it->second;
    }
    void reset() { counts.clear(); }
};

// A started store over the given assets whose engine never runs.
struct Library : storetest::Library {
    explicit Library(const std::vector<Asset>& list = {}) {
        add(list);
        store->start(false);
    }
};

}  // namespace apptest

#pragma once
// An application model on its own settings file in a temporary folder, a
// count of the change signals it emits, and started stores whose engine
// never runs.

#include <QSettings>

#include <map>
#include <memory>
#include <string>

#include "App/AppModel.h"
#include "store/StoreFixture.h"

namespace apptest {

using namespace vintrelle;
using storetest::makeAsset;
using storetest::spinUntil;

struct Settings {
    fixtures::TempDir dir;
    std::unique_ptr<QSettings> open() const {
        return std::make_unique<QSettings>(QString::fromStdString(dir / "settings.conf"), QSettings::IniFormat);
    }
};

struct Model {
    Settings settings;
    std::unique_ptr<AppModel> model = std::make_unique<AppModel>(settings.open());
    AppModel* operator->() { return model.get(); }
    AppModel& operator*() { return *model; }
    ~Model() { model->closeStore(); }
};

struct SignalCounts {
    std::map<std::string, int> counts;
    QObject context;  // disconnects when the counts go
    explicit SignalCounts(AppModel& m) {
        using M = AppModel;
        const std::pair<void (M::*)(), const char*> watched[] = {
            {&M::routeChanged, "route"},         {&M::backStackChanged, "backStack"},
            {&M::selectionChanged, "selection"}, {&M::activeSearchChanged, "activeSearch"},
            {&M::viewerChanged, "viewer"},       {&M::scrollRequestChanged, "scrollRequest"},
            {&M::routeTitleChanged, "title"},    {&M::gridContentChanged, "gridContent"},
        };
        for (auto [signal, name] : watched)
            QObject::connect(&m, signal, &context, [this, name = name] { ++counts[name]; });
    }
    int operator[](const std::string& name) { return counts[name]; }
    int total() const {
        int n = 0;
        for (const auto& [name, count] : counts) n += count;
        return n;
    }
};

struct Library : storetest::Library {
    explicit Library(const std::vector<Asset>& list = {}) {
        add(list);
        store->start(false);
    }
};

}  // namespace apptest

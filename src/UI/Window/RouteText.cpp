#include "UI/Window/RouteText.h"

#include "App/AppModel.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "UI/Window/WindowParts.h"

namespace vintrelle {

QString routeTitleText(const AppModel& model) { return QString::fromStdString(model.routeTitle()); }

long long routeItemCount(const AppModel& model, LibraryStore& store) {
    switch (screenKind(model.route())) {
        case ScreenKind::trips: return (long long)store.visibleTrips().size();
        case ScreenKind::people: return (long long)store.visiblePersons().size();
        case ScreenKind::places: return (long long)store.geotagged().size();
        case ScreenKind::albums: return (long long)store.albums().size();
        case ScreenKind::assets: break;
    }
    return (long long)model.gridContent()->flat->size();
}

QString routeSubtitle(const AppModel& model, LibraryStore& store) {
    const long long n = routeItemCount(model, store);
    switch (screenKind(model.route())) {
        case ScreenKind::trips: return QString::fromStdString(Format::items(n, "trip"));
        case ScreenKind::people:
            return QString::fromStdString(Format::integer(n) + (n == 1 ? " person" : " people"));
        case ScreenKind::places: return QString::fromStdString(Format::items(n, "item") + " with a location");
        case ScreenKind::albums: return QString::fromStdString(Format::items(n, "album"));
        case ScreenKind::assets: break;
    }
    const std::string count = Format::items(n, "item");
    if (!model.visibleSection().empty() && n != 0 && model.selection().empty())
        return QString::fromStdString(model.visibleSection() + "  \u00B7  " + count);
    return QString::fromStdString(count);
}

}  // namespace vintrelle

#pragma once
// The two lines that name where the main column is: the route's title and,
// under it, what it holds (counts that follow the search, and the section at
// the top of the grid while nothing is selected). Read by the top bar and by
// the diagnostics.

#include <QString>

namespace vintrelle {

class AppModel;
class LibraryStore;

QString routeTitleText(const AppModel& model);
QString routeSubtitle(const AppModel& model, LibraryStore& store);
// What the route shows: grid items on an asset route, the trips, people,
// geotagged items or albums of an overview.
long long routeItemCount(const AppModel& model, LibraryStore& store);

}  // namespace vintrelle

#pragma once
// Naming a coordinate for a screen: the open library's place resolver asked
// on a pool thread, the answer handed back on the main thread.

#include <QObject>

#include <functional>
#include <optional>

#include "Core/Index/Models.h"

namespace vintrelle {

class LibraryStore;

namespace placelookup {

// Names a coordinate; blocking, run off the main thread. Whatever it needs it
// holds itself (the resolver, shared), so it may outlive the library it came
// from.
using Lookup = std::function<std::optional<PlaceName>(double lat, double lon)>;
// The lookup of a store; none when the store has no engine or resolver.
using Source = std::function<Lookup(LibraryStore& store)>;

// The engine's resolver.
Source resolver();

// Runs lookup(lat, lon) on the global thread pool and gives its answer to
// `done` on the main thread, unless `receiver` is gone by then. A lookup that
// throws answers none.
void start(QObject* receiver, Lookup lookup, double lat, double lon,
           std::function<void(const std::optional<PlaceName>&)> done);

}  // namespace placelookup
}  // namespace vintrelle

#include "UI/Kit/PlaceLookup.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>

#include "Core/Engine/LibraryEngine.h"
#include "Core/Places/PlaceResolver.h"
#include "Store/LibraryStore.h"

namespace vintrelle::placelookup {

Source resolver() {
    return [](LibraryStore& store) -> Lookup {
        LibraryEngine* engine = store.engine();
        if (!engine) return {};
        std::shared_ptr<PlaceResolver> resolver = engine->resolver();
        if (!resolver) return {};
        return [resolver](double lat, double lon) { return resolver->resolve(lat, lon); };
    };
}

void start(QObject* receiver, Lookup lookup, double lat, double lon,
           std::function<void(const std::optional<PlaceName>&)> done) {
    QPointer<QObject> guard(receiver);
    QThreadPool::globalInstance()->start([guard, lookup = std::move(lookup), lat, lon, done = std::move(done)] {
        std::optional<PlaceName> name;
        try {
            name = lookup(lat, lon);
        } catch (const std::exception&) {
            // A name the resolver could not give is no name.
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [guard, done, name] {
                if (guard) done(name);
            },
            Qt::QueuedConnection);
    });
}

}  // namespace vintrelle::placelookup

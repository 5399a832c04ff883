#include "UI/Window/WindowParts.h"

namespace vintrelle {

ScreenKind screenKind(const Route& route) {
    switch (route.kind()) {
        case Route::Kind::trips: return ScreenKind::trips;
        case Route::Kind::people: return ScreenKind::people;
        case Route::Kind::places: return ScreenKind::places;
        case Route::Kind::albums: return ScreenKind::albums;
        default: return ScreenKind::assets;
    }
}

}  // namespace vintrelle

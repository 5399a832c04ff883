#pragma once
// The main-thread poster for the Qt side: closures queue on the application
// object's event loop in the order they were posted. Safe to call from any
// thread; without an application object the closure is dropped.

#include <QCoreApplication>
#include <QMetaObject>

#include "Core/Base/MainQueue.h"

namespace vintrelle {

inline void postToMainThread(std::function<void()> f) {
    if (QCoreApplication* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, std::move(f), Qt::QueuedConnection);
}

inline MainPoster qtMainPoster() {
    return [](std::function<void()> f) { postToMainThread(std::move(f)); };
}

}  // namespace vintrelle

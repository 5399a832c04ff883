#include "UI/Collections/FaceModelStatus.h"

#include <QCoreApplication>
#include <QThreadPool>

#include "Core/Faces/FaceEngine.h"

namespace vintrelle {

FaceModelStatus::FaceModelStatus() : check_([] { return FaceEngine::shared().model != nullptr; }) {}

FaceModelStatus& FaceModelStatus::shared() {
    static auto* status = new FaceModelStatus();
    return *status;
}

void FaceModelStatus::request() {
    if (state_ != State::unknown) return;
    state_ = State::checking;
    const int asked = ++asked_;
    QThreadPool::globalInstance()->start([check = check_, asked] {
        const bool loaded = check && check();
        QMetaObject::invokeMethod(
            qApp,
            [loaded, asked] {
                FaceModelStatus& self = shared();
                if (self.asked_ == asked && self.state_ == State::checking)
                    self.setState(loaded ? State::available : State::missing);
            },
            Qt::QueuedConnection);
    });
}

void FaceModelStatus::setState(State state) {
    ++asked_;  // an answer given here replaces one still on its way
    if (state == state_) return;
    state_ = state;
    emit stateChanged();
}

}  // namespace vintrelle

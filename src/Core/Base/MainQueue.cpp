#include "Core/Base/MainQueue.h"

#include <chrono>

namespace vintrelle {

MainPoster ManualMainQueue::poster() {
    std::weak_ptr<State> weak = state_;
    return [weak](std::function<void()> f) {
        if (auto s = weak.lock()) {
            {
                std::lock_guard lock(s->mutex);
                s->queue.push_back(std::move(f));
            }
            s->cv.notify_all();
        }
    };
}

int ManualMainQueue::drain() {
    int ran = 0;
    for (;;) {
        std::function<void()> f;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->queue.empty()) return ran;
            f = std::move(state_->queue.front());
            state_->queue.pop_front();
        }
        f();
        ++ran;
    }
}

int ManualMainQueue::waitAndDrain(int timeoutMs) {
    {
        std::unique_lock lock(state_->mutex);
        state_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return !state_->queue.empty(); });
    }
    return drain();
}

}  // namespace vintrelle

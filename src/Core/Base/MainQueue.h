#pragma once
// How the core hands work to the main thread without knowing Qt: the app
// passes a poster that queues the closure on the Qt event loop (in order);
// tests pass one that appends to a queue they drain.

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace vintrelle {

using MainPoster = std::function<void(std::function<void()>)>;

// A main queue for headless use (tests, probe): posted closures run when the
// owning thread drains the queue.
class ManualMainQueue {
public:
    MainPoster poster();
    // Runs every closure queued so far (and those they queue); returns how many ran.
    int drain();
    // Waits up to timeoutMs for at least one closure, then drains.
    int waitAndDrain(int timeoutMs);

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<std::function<void()>> queue;
    };
    // Shared with every poster, so a late post after the queue is gone is harmless.
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace vintrelle

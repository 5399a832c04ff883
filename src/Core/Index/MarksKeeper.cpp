#include "Core/Index/MarksKeeper.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "Core/Index/LibraryDB.h"
#include "Core/Index/MarksCopy.h"

namespace vintrelle {

struct MarksKeeper::State {
    using Clock = std::chrono::steady_clock;

    std::shared_ptr<LibraryDB> db;
    // The data folder held open as it was when the library opened: a drive
    // mounted over the library's path since, or the folder put back from a
    // backup, has a copy of its own that is not to be written over, and an
    // index of its own that is not to be judged.
    int folder = -1;
    std::chrono::milliseconds delay;

    ~State() {
        if (folder >= 0) ::close(folder);
    }

    bool stillItsIndex() const { return folder >= 0 && db->db().isStillAtItsPath(); }

    mutable std::mutex mutex;
    mutable std::condition_variable cv;
    bool opening = false;
    bool stamping = false;
    bool dirty = false;
    bool busy = false;
    bool closing = false;
    bool ended = false;
    Clock::time_point due;
    Standing standing = Standing::unknown;
    // Of the payload the copy on disk holds, once known, and its stamp.
    std::optional<uint64_t> written;
    double writtenStamp = 0;

    void run() {
        std::unique_lock lock(mutex);
        // Runs one piece of work with the lock let go, as busy.
        auto unlocked = [&](auto work) {
            busy = true;
            const bool kept = standing == Standing::kept;
            lock.unlock();
            work(kept);
            lock.lock();
            busy = false;
            cv.notify_all();
        };
        for (;;) {
            if (std::exchange(opening, false)) {
                unlocked([&](bool) { settle(); });
                continue;
            }
            if (std::exchange(stamping, false)) {
                unlocked([&](bool kept) {
                    if (kept) stamp();
                });
                continue;
            }
            if (dirty && (closing || Clock::now() >= due)) {
                dirty = false;
                // An index that could not be checked (busy, or its path
                // taken by another folder) is looked at again, which writes.
                const bool unchecked = standing == Standing::unknown && !closing;
                unlocked([&](bool kept) {
                    if (unchecked) {
                        settle();
                    } else if (kept) {
                        write();
                    }
                });
                continue;
            }
            if (closing) break;
            if (dirty) cv.wait_until(lock, due);
            else cv.wait(lock);
        }
        ended = true;
        cv.notify_all();
    }

    // Checks the index against the copy and keeps the verdict.
    void settle() {
        const Standing found = check();
        std::lock_guard lock(mutex);
        standing = found;
    }

    Standing check() {
        Database& d = db->db();
        // The check reads the index by its path.
        if (!stillItsIndex()) return Standing::unknown;
        if (!db->checkFile()) return d.isDamaged() ? Standing::unsound : Standing::unknown;
        // A write cut short leaves its temporary; the copy itself is whole.
        discardUnfinishedCopyIn(folder);
        const CopyRead copy = readMarksCopyIn(folder);
        if (copy.state == CopyState::newer) return Standing::unsound;
        try {
            if (copy.state == CopyState::readable) {
                {
                    std::lock_guard lock(mutex);
                    written = marksDigest(encodeMarks(copy.marks));
                    writtenStamp = copy.marks.changed;
                }
                // The copy was written from this index, at its stamp: an
                // index without it, or behind it, is not the one the copy
                // followed (put back from an older state, or made anew).
                const std::optional<double> stamp = marksChanged(d);
                if ((!stamp || *stamp < copy.marks.changed) && lacking(copy.marks, readMarks(d)).any()) {
                    d.markDamaged();
                    return Standing::indexLost;
                }
            }
        } catch (const DBError&) {
            return d.isDamaged() ? Standing::unsound : Standing::unknown;
        }
        write();
        return Standing::kept;
    }

    // The index says at once that its marks changed, before the copy
    // follows: a rebuild meanwhile then knows the copy is behind it.
    void stamp() {
        Database& d = db->db();
        // A write makes its journal by the index's path.
        if (d.isDamaged() || !stillItsIndex()) return;
        try {
            d.transaction([&] { setMarksChanged(d, after(marksChanged(d).value_or(0))); });
        } catch (const DBError&) {
        }
    }

    // Never behind the stamp it follows, whatever the clock says.
    static double after(double stamp) { return std::max(nowSeconds(), std::nextafter(stamp, 1e300)); }

    // Reads the marks and, when they differ from the copy's, writes the copy
    // at the index's stamp (stamping it first when nothing did). The marks
    // are read a part at a time, so a change may come between the parts:
    // it reports itself, and the copy is read again after it; meanwhile the
    // index is at least as new as the copy, which is all a rebuild asks.
    void write() {
        Database& d = db->db();
        if (d.isDamaged() || !stillItsIndex()) return;
        try {
            Marks marks = readMarks(d);
            const uint64_t digest = marksDigest(encodeMarks(marks));
            bool same = false;
            d.transaction([&] {
                const double stamp = marksChanged(d).value_or(0);
                std::lock_guard lock(mutex);
                same = written == digest;
                marks.changed = stamp;
                if (same) {
                    // Nothing changed after all: the marks date from the copy.
                    if (stamp != writtenStamp) setMarksChanged(d, writtenStamp);
                    return;
                }
                // Changed without a word (by the engine, or by an older
                // Vintrelle), or never stamped: now is when.
                if (written ? stamp <= writtenStamp : stamp == 0) {
                    marks.changed = after(std::max(stamp, writtenStamp));
                    setMarksChanged(d, marks.changed);
                }
            });
            if (same) return;
            writeMarksCopyIn(folder, marks);
            std::lock_guard lock(mutex);
            written = digest;
            writtenStamp = marks.changed;
        } catch (const std::exception&) {
            // The copy stays as it was; the next change, or the next opening
            // (the index then being the newer), writes it.
        }
    }
};

MarksKeeper::MarksKeeper(std::shared_ptr<LibraryDB> db, const LibraryPaths& paths, std::chrono::milliseconds delay)
    : state_(std::make_shared<State>()) {
    state_->db = std::move(db);
    state_->folder = ::open(paths.dataDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    state_->delay = delay;
}

MarksKeeper::~MarksKeeper() { close(); }

void MarksKeeper::open() {
    std::lock_guard lock(state_->mutex);
    if (state_->closing || state_->opening || state_->standing != Standing::unknown) return;
    state_->opening = true;
    if (!thread_.joinable()) thread_ = std::thread([state = state_] { state->run(); });
    state_->cv.notify_all();
}

void MarksKeeper::changed() {
    std::lock_guard lock(state_->mutex);
    if (state_->closing) return;
    state_->stamping = true;
    if (!state_->dirty) {
        state_->dirty = true;
        state_->due = State::Clock::now() + state_->delay;
    }
    state_->cv.notify_all();
}

void MarksKeeper::close(std::chrono::milliseconds bound) {
    // Its data folder is let go with the index, so that its drive can go.
    auto letGo = [&] {
        if (state_->folder >= 0) ::close(std::exchange(state_->folder, -1));
    };
    if (!thread_.joinable()) {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
        letGo();
        return;
    }
    bool ended;
    {
        std::unique_lock lock(state_->mutex);
        state_->closing = true;
        state_->cv.notify_all();
        ended = state_->cv.wait_for(lock, bound, [&] { return state_->ended; });
    }
    // The thread owns what it uses: one held up by a hung disk ends by itself.
    if (ended) {
        thread_.join();
        letGo();
    } else {
        thread_.detach();
    }
}

MarksKeeper::Standing MarksKeeper::standing() const {
    std::lock_guard lock(state_->mutex);
    return state_->standing;
}

bool MarksKeeper::waitIdle(std::chrono::milliseconds bound) const {
    std::unique_lock lock(state_->mutex);
    return state_->cv.wait_for(lock, bound, [&] {
        return !state_->opening && !state_->stamping && !state_->dirty && !state_->busy;
    });
}

}  // namespace vintrelle

#pragma once
// Copies of library files into a folder the user chose. A copy never
// overwrites: it is written under a temporary name in the target folder and
// only then given its final name with an exclusive link or rename, taking the
// next free number ("IMG_0042 2.JPG") when the name is taken, even by another
// export running at the same time. A copy that fails or is stopped leaves
// nothing behind. Each export runs on its own thread; its report is posted to
// the main thread.

#include <QObject>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vintrelle {

// The name a copy takes when `name` is taken: a blank and the number before
// the extension; a name without one gets no trailing full stop.
std::string numberedName(std::string_view name, int n);

struct CopyResult {
    enum class Outcome { copied, failed, stopped };
    Outcome outcome = Outcome::failed;
    std::string target;  // the file written, when copied
    int error = 0;       // errno of a failure
};

// Copies one regular file into `folder` under its own name or the first free
// numbered one, keeping its modification time and permission bits. Checks
// `stop` between chunks. Blocking: call it off the main thread.
CopyResult copyIntoFolder(const std::string& source, const std::string& folder, const std::stop_token& stop = {});

struct ExportReport {
    std::string destination;
    int failures = 0;  // sources not copied, counting those that could not be read at all
};

class FileExports {
public:
    using Done = std::function<void(const ExportReport&)>;

    // Reports run on the thread that makes this object (the main thread).
    FileExports();
    // Stops every export as stopAll() does.
    ~FileExports();
    FileExports(const FileExports&) = delete;
    FileExports& operator=(const FileExports&) = delete;

    // Copies the sources in order into the destination on a thread of its
    // own; `unreadable` sources were refused before and count as failures.
    // `done` runs on the main thread when every source was tried, never for
    // an export that was stopped.
    void start(std::vector<std::string> sources, int unreadable, std::string destination, Done done);

    // Asks every running export to stop: the file being copied is abandoned
    // and its temporary removed, and no further file is started. Waits up to
    // `bound` for them; an export still stuck in a write to a dead drive is
    // left to end by itself and will report nothing.
    void stopAll(std::chrono::milliseconds bound = std::chrono::seconds(3));
    size_t running() const { return jobs_.size(); }

private:
    struct Job {
        uint64_t id = 0;
        std::stop_source stop;
        std::thread thread;
        std::mutex mutex;
        std::condition_variable cv;
        bool finished = false;
    };
    // The worker's way back to the main thread, closed before this object goes.
    struct Mailbox {
        std::mutex mutex;
        QObject* receiver = nullptr;
    };

    // The report's callback stays on the main thread: a worker left behind
    // never holds it.
    struct Entry {
        std::shared_ptr<Job> job;
        Done done;
    };

    void finish(uint64_t id, const ExportReport& report);

    std::shared_ptr<Mailbox> mailbox_;
    std::vector<Entry> jobs_;
    std::unique_ptr<QObject> receiver_;  // last: going first, it drops reports not yet delivered
    uint64_t nextId_ = 0;
};

}  // namespace vintrelle

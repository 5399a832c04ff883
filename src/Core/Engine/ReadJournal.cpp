#include "Core/Engine/ReadJournal.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>

namespace vintrelle {

namespace {

// The crash handler's table: the mark file of every journal with reads in
// flight. Fixed storage, because the handler may use nothing that allocates
// or locks.
struct CrashSlot {
    std::atomic<bool> used{false};
    std::atomic<int> inFlight{0};
    char markPath[PATH_MAX] = {};
};
constexpr int kSlots = 16;
CrashSlot crashSlots[kSlots];

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
struct sigaction previousActions[NSIG];

void onFatalSignal(int sig, siginfo_t* info, void*) {
    for (CrashSlot& slot : crashSlots) {
        if (!slot.used.load(std::memory_order_acquire) || slot.inFlight.load(std::memory_order_relaxed) <= 0)
            continue;
        const int fd = ::open(slot.markPath, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) ::close(fd);
    }
    // Whoever handled the signal before (the default: end the process) gets
    // it next: a fault happens again when this returns, a sent signal is
    // sent again.
    ::sigaction(sig, &previousActions[sig], nullptr);
    if (!info || info->si_code <= 0) ::raise(sig);
}

void installCrashHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = onFatalSignal;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int sig : kFatalSignals) ::sigaction(sig, &action, &previousActions[sig]);
    });
}

// Slots are taken and given back under this lock; the handler only reads.
std::mutex slotMutex;

int takeSlot(const std::string& markPath) {
    if (markPath.size() >= PATH_MAX) return -1;
    std::lock_guard lock(slotMutex);
    for (int i = 0; i < kSlots; ++i) {
        CrashSlot& slot = crashSlots[i];
        if (slot.used.load()) continue;
        std::memcpy(slot.markPath, markPath.c_str(), markPath.size() + 1);
        slot.inFlight.store(0);
        slot.used.store(true, std::memory_order_release);
        return i;
    }
    return -1;
}

void giveBackSlot(int i) {
    std::lock_guard lock(slotMutex);
    crashSlots[i].inFlight.store(0);
    crashSlots[i].used.store(false, std::memory_order_release);
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// Replaces a small file whole: a reader never sees half of it.
void writeWhole(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) ::unlink(temp.c_str());
}

}  // namespace

ReadJournal::ReadJournal(const std::string& dataDir)
    : readingPath_(dataDir + "/reading-ids"),
      suspectsPath_(dataDir + "/suspect-ids"),
      crashedPath_(dataDir + "/reading-crashed") {
    std::ifstream in(suspectsPath_);
    long long id = 0;
    int ends = 0;
    while (in >> id >> ends) suspects_[id] = std::max(ends, 0);
}

ReadJournal::~ReadJournal() {
    if (slot_ >= 0) giveBackSlot(slot_);
    if (fd_ >= 0) ::close(fd_);
}

std::vector<int64_t> ReadJournal::recover() {
    std::lock_guard lock(mutex_);
    std::set<int64_t> left;
    {
        std::ifstream in(readingPath_);
        long long id = 0;
        while (in >> id) left.insert(id);
    }
    const bool crashed = exists(crashedPath_);
    ::unlink(crashedPath_.c_str());
    std::vector<int64_t> condemned;
    if (!left.empty()) {
        for (int64_t id : left) suspects_.try_emplace(id, 0);
        // With several files in flight nothing says which one it was: each is
        // read alone next time.
        if (left.size() == 1) {
            const int64_t id = *left.begin();
            if (crashed || ++suspects_[id] >= loneEndsToCondemn) {
                condemned.push_back(id);
                suspects_.erase(id);
            }
        }
        writeSuspects();
    }
    reading_.clear();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ::unlink(readingPath_.c_str());
    return condemned;
}

void ReadJournal::forget(const std::vector<int64_t>& ids) {
    std::lock_guard lock(mutex_);
    size_t erased = 0;
    for (int64_t id : ids) erased += suspects_.erase(id);
    if (erased) writeSuspects();
}

bool ReadJournal::isSuspect(int64_t id) const {
    std::lock_guard lock(mutex_);
    return suspects_.count(id) != 0;
}

std::vector<int64_t> ReadJournal::suspects() const {
    std::lock_guard lock(mutex_);
    std::vector<int64_t> out;
    for (const auto& [id, ends] : suspects_) out.push_back(id);
    return out;
}

void ReadJournal::begin(int64_t id) {
    std::lock_guard lock(mutex_);
    if (slot_ < 0) {
        installCrashHandler();
        slot_ = takeSlot(crashedPath_);
    }
    reading_.insert(id);
    writeReading();
    // Counted only once the id is on disk: a mark must never stand for an
    // empty journal.
    if (slot_ >= 0) crashSlots[slot_].inFlight.fetch_add(1);
}

void ReadJournal::end(int64_t id) {
    std::lock_guard lock(mutex_);
    if (auto it = reading_.find(id); it != reading_.end()) {
        reading_.erase(it);
        if (slot_ >= 0) crashSlots[slot_].inFlight.fetch_sub(1);
    }
    writeReading();
    if (suspects_.erase(id)) writeSuspects();
}

void ReadJournal::writeReading() {
    // No fsync: the journal guards against the process dying, not the
    // machine, and the page cache outlives the process. Emptied before it is
    // written, so a kill between the two loses ids (harmless) rather than
    // leaving stale ones behind.
    if (fd_ < 0) fd_ = ::open(readingPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    std::string text;
    for (int64_t id : reading_) text += std::to_string(id) + "\n";
    if (::ftruncate(fd_, 0) != 0) return;
    if (!text.empty() && ::pwrite(fd_, text.data(), text.size(), 0) < 0) return;
}

void ReadJournal::writeSuspects() {
    if (suspects_.empty()) {
        ::unlink(suspectsPath_.c_str());
        return;
    }
    std::string text;
    for (const auto& [id, ends] : suspects_) text += std::to_string(id) + " " + std::to_string(ends) + "\n";
    writeWhole(suspectsPath_, text);
}

}  // namespace vintrelle

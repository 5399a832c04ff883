#include "Core/Engine/ReadJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace vintrelle {

namespace {

// Replaces a small file whole: a reader never sees half of it.
void writeWhole(const std::string& path, const std::string& text) {
    const std::string temp = path + ".new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const bool ok = ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) ::unlink(temp.c_str());
}

int64_t millisecondsNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ReadJournal::ReadJournal(const std::string& dataDir)
    : readingPath_(dataDir + "/reading-ids"), suspectsPath_(dataDir + "/read-suspects") {
    std::ifstream in(suspectsPath_);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        long long id = 0, lastEnd = 0;
        int crashes = 0, cuts = 0;
        if (!(fields >> id >> crashes)) continue;
        fields >> cuts >> lastEnd;
        suspects_[id] = {std::max(crashes, 0), std::max(cuts, 0), std::max(lastEnd, 0LL)};
    }
    long long id = 0;
    int crashes = 0;
    // Suspects of earlier versions, counted by abnormal ends of the whole
    // process: no evidence, so they are suspects with no crash yet.
    const std::string older = dataDir + "/suspect-ids";
    std::ifstream old(older);
    bool migrated = false;
    while (old >> id >> crashes) migrated |= suspects_.try_emplace(id).second;
    if (old.is_open()) {
        if (migrated) writeSuspects();
        ::unlink(older.c_str());
    }
    ::unlink((dataDir + "/reading-crashed").c_str());
}

ReadJournal::~ReadJournal() {
    if (fd_ >= 0) ::close(fd_);
}

void ReadJournal::recover() {
    std::lock_guard lock(mutex_);
    bool added = false;
    {
        std::ifstream in(readingPath_);
        long long id = 0;
        while (in >> id) added |= suspects_.try_emplace(id).second;
    }
    if (added) writeSuspects();
    readingLength_ = 0;
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    ::unlink(readingPath_.c_str());
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

int ReadJournal::crashed(int64_t id) {
    std::lock_guard lock(mutex_);
    Ends& ends = suspects_[id];
    ends.lastEndMs = millisecondsNow();
    const int crashes = ++ends.crashes;
    writeSuspects();
    return crashes;
}

int ReadJournal::cutShort(int64_t id) {
    std::lock_guard lock(mutex_);
    Ends& ends = suspects_[id];
    ends.lastEndMs = millisecondsNow();
    const int cuts = ++ends.cuts;
    writeSuspects();
    return cuts;
}

std::chrono::milliseconds ReadJournal::untilRetry(int64_t id, std::chrono::milliseconds spacing) const {
    int64_t lastEnd = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = suspects_.find(id);
        if (it == suspects_.end() || it->second.lastEndMs == 0) return std::chrono::milliseconds(0);
        lastEnd = it->second.lastEndMs;
    }
    const int64_t left = lastEnd + int64_t(spacing.count()) - millisecondsNow();
    return std::chrono::milliseconds(std::clamp<int64_t>(left, 0, spacing.count()));
}

void ReadJournal::mayRead(const std::vector<int64_t>& ids) {
    // No fsync: the journal guards against the process dying, not the
    // machine, and the page cache outlives the process.
    std::lock_guard lock(mutex_);
    if (fd_ < 0) fd_ = ::open(readingPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    if (ids.empty()) {
        if (readingLength_ > 0 && ::ftruncate(fd_, 0) == 0) readingLength_ = 0;
        return;
    }
    // Written over what was there in one write, never emptied first: a
    // kill at any moment leaves the old ids or the new ones (blanks cover
    // the rest of a longer list), never none.
    std::string text;
    for (int64_t id : ids) text += std::to_string(id) + "\n";
    if (text.size() < readingLength_) text.append(readingLength_ - text.size(), ' ');
    if (::pwrite(fd_, text.data(), text.size(), 0) == ssize_t(text.size())) readingLength_ = text.size();
}

void ReadJournal::writeSuspects() {
    if (suspects_.empty()) {
        ::unlink(suspectsPath_.c_str());
        return;
    }
    std::string text;
    for (const auto& [id, ends] : suspects_)
        text += std::to_string(id) + " " + std::to_string(ends.crashes) + " " + std::to_string(ends.cuts) + " " +
                std::to_string(ends.lastEndMs) + "\n";
    writeWhole(suspectsPath_, text);
}

}  // namespace vintrelle

#pragma once
// Which files are being read, kept in the data folder so that a file whose
// decoding crashes the process is set aside instead of crashing every start,
// while an ordinary end of the process (a logout, an out-of-memory kill, a
// power cut) costs no photo.
//
// Files in flight when a run ends abnormally become suspects: the next run
// reads them first, one at a time, alone. A suspect is stored as unreadable
// only with evidence against it:
// - it was read alone when the process died of a fatal signal (a crash
//   handler marks such deaths), or
// - it was read alone at three abnormal ends in a row with no such mark (a
//   crash the handler never saw, such as the kernel killing a decoder that
//   ran away with memory).
// A kill hits whatever happens to be in flight; it would have to land three
// times in a row on the one file being read alone to cost it.
//
// On disk: "reading-ids" (ids in flight, one a line), "suspect-ids" (id and
// count of lone abnormal ends, one pair a line), "reading-crashed" (present
// after a fatal signal while files were in flight).

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vintrelle {

class ReadJournal {
public:
    // Lone abnormal ends without a crash mark that condemn a suspect.
    static constexpr int loneEndsToCondemn = 3;

    explicit ReadJournal(const std::string& dataDir);
    ~ReadJournal();
    ReadJournal(const ReadJournal&) = delete;
    ReadJournal& operator=(const ReadJournal&) = delete;

    // Once, before the first read of a run: turns the files the last run left
    // in flight into suspects and returns the ids to store as unreadable.
    std::vector<int64_t> recover();
    // Suspects in no need of reading any more (removed, or read by other means).
    void forget(const std::vector<int64_t>& ids);

    bool isSuspect(int64_t id) const;
    std::vector<int64_t> suspects() const;
    void begin(int64_t id);
    // The read returned: whatever the result, the file does not crash a decoder.
    void end(int64_t id);

private:
    void writeReading();   // caller holds mutex_
    void writeSuspects();  // caller holds mutex_

    const std::string readingPath_, suspectsPath_, crashedPath_;
    mutable std::mutex mutex_;
    std::multiset<int64_t> reading_;
    std::map<int64_t, int> suspects_;  // id -> lone abnormal ends in a row
    int fd_ = -1;
    int slot_ = -1;  // in the crash handler's table
};

}  // namespace vintrelle

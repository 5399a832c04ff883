#pragma once
// Which files are being read, kept in the data folder, so that a file whose
// decoding crashes the process costs one crash at most, while an ordinary
// end of the process (a kill, a logout, a power cut, a crash elsewhere in
// it) costs no photo.
//
// Files in flight when a run ends abnormally become suspects: nothing says
// which of them, if any, ended the run. Each suspect is read again in a
// process of its own (ReaderProcess), and stored as unreadable only on
// evidence that no end of the indexing process itself can give: its reading
// process dying of a fault twice, or being cut short (killed, past its
// deadline, failing) three times, where once is chance. After either end the
// next try waits some minutes: a burst of memory pressure, whose
// out-of-memory kills are what cuts readings short, or a system that
// faults for a while is over by then, and one bad spell never condemns a
// good file.
//
// On disk: "reading-ids" (ids that may be in flight, one a line, padded
// with blanks), "read-suspects" (id,
// the crashes of its reading process so far, the times it was cut short and
// when its reading last ended either way, in milliseconds since 1970, one
// line each; older files lack the last numbers).

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vintrelle {

class ReadJournal {
public:
    // Crashes of a suspect's reading process that condemn it.
    static constexpr int crashesToCondemn = 2;
    // Ends of its reading process cut short that condemn it.
    static constexpr int cutsToCondemn = 3;
    // How long the next try waits after a reading crashed or was cut short.
    static constexpr std::chrono::minutes retrySpacing{5};

    explicit ReadJournal(const std::string& dataDir);
    ~ReadJournal();
    ReadJournal(const ReadJournal&) = delete;
    ReadJournal& operator=(const ReadJournal&) = delete;

    // Once, before the first read of a run: the files the last run left in
    // flight become suspects.
    void recover();
    // Suspects in no need of reading any more (read, condemned, removed).
    void forget(const std::vector<int64_t>& ids);

    bool isSuspect(int64_t id) const;
    std::vector<int64_t> suspects() const;
    // A suspect's reading process died of a fault: the crashes counted so
    // far, this one included (kept across runs, with the time: see
    // untilRetry).
    int crashed(int64_t id);
    // Likewise, when its reading process was cut short.
    int cutShort(int64_t id);
    // What is left of `spacing` since the suspect's reading last crashed or
    // was cut short, in this run or an earlier one: zero when it may be read
    // now. Never more than `spacing`, whatever the clock did meanwhile.
    std::chrono::milliseconds untilRetry(int64_t id, std::chrono::milliseconds spacing) const;

    // The files this process may read from now on, until the next call:
    // those being read and some about to be. Written once for many files, so
    // that reading one costs no write; a run that ends abnormally leaves
    // them all suspects, where one not read yet costs only a reading apart.
    // An empty list: none.
    void mayRead(const std::vector<int64_t>& ids);

private:
    void writeSuspects();  // caller holds mutex_

    const std::string readingPath_, suspectsPath_;
    mutable std::mutex mutex_;
    size_t readingLength_ = 0;  // of what "reading-ids" holds
    struct Ends {
        int crashes = 0;
        int cuts = 0;
        int64_t lastEndMs = 0;  // system clock; 0: never crashed nor cut short
    };
    std::map<int64_t, Ends> suspects_;  // id -> how its reading process ended so far
    int fd_ = -1;
};

}  // namespace vintrelle

#pragma once
// The sections by month of capture of a list in store order (newest first),
// kept as counts of photos and videos per month that follow the changes of
// the list: a batch of new files touches its own months, and only those get
// their titles and summaries written again.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Core/Index/AssetList.h"

namespace vintrelle {

// A section as a run of positions [begin, end) of the list it was made from.
struct SectionRun {
    std::string id;
    std::string title;
    std::string detail;
    size_t begin = 0;
    size_t end = 0;
    bool operator==(const SectionRun&) const = default;
};

// A section's id: its kind's letter and its key.
std::string sectionID(char kind, long long key);
// A section's second line: "12 photos, 1 video"; a kind that is absent is left out.
std::string sectionSummary(long long photos, long long videos);
// The texts of the month `key` whose newest asset is `first` (the run's
// positions left at 0).
SectionRun monthSection(const Asset& first, int key, long long photos, long long videos);

class MonthSections {
public:
    void rebuild(const AssetList& list);
    // Records that left the list and records that entered it.
    void update(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came);
    // The sections of `list`, the list the counts describe.
    const std::vector<SectionRun>& runs(const AssetList& list);

private:
    struct Month {
        long long photos = 0;
        long long videos = 0;
        bool touched = true;  // its texts are to be written again
        SectionRun texts;
    };
    void count(const Asset& a, int delta);

    std::map<int, Month, std::greater<int>> months_;  // newest first, as the list runs
    std::vector<SectionRun> runs_;
    bool stale_ = true;
};

}  // namespace vintrelle

#include "Store/MonthSections.h"

#include "Core/Base/WallClock.h"

namespace vintrelle {

std::string sectionID(char kind, long long key) {
    std::string id(1, kind);
    id += std::to_string(key);
    return id;
}

std::string sectionSummary(long long photos, long long videos) {
    std::string out;
    if (photos > 0) out = Format::items(photos, "photo");
    if (videos > 0) {
        if (!out.empty()) out += ", ";
        out += Format::items(videos, "video");
    }
    return out;
}

SectionRun monthSection(const Asset& first, int key, long long photos, long long videos) {
    return SectionRun{sectionID('m', key), WallClock::format(WallClock::Template::monthYear, first.taken),
                      sectionSummary(photos, videos)};
}

void MonthSections::count(const Asset& a, int delta) {
    Month& m = months_[WallClock::monthKey(a.taken)];
    (a.kind == MediaKind::video ? m.videos : m.photos) += delta;
    m.touched = true;
}

void MonthSections::rebuild(const AssetList& list) {
    months_.clear();
    list.forEach([&](const Asset& a) { count(a, 1); });
    stale_ = true;
}

void MonthSections::update(const std::vector<const Asset*>& gone, const std::vector<const Asset*>& came) {
    if (gone.empty() && came.empty()) return;
    for (const Asset* a : gone) count(*a, -1);
    for (const Asset* a : came) count(*a, 1);
    std::erase_if(months_, [](const auto& kv) { return kv.second.photos + kv.second.videos <= 0; });
    stale_ = true;
}

const std::vector<SectionRun>& MonthSections::runs(const AssetList& list) {
    if (!stale_) return runs_;
    runs_.clear();
    runs_.reserve(months_.size());
    size_t at = 0;
    for (auto& [key, m] : months_) {
        const size_t end = at + size_t(m.photos + m.videos);
        if (m.touched) {
            // Written as a full pass writes it: from the run's first (newest) asset.
            m.texts = monthSection(list[at], key, m.photos, m.videos);
            m.touched = false;
        }
        runs_.push_back(SectionRun{m.texts.id, m.texts.title, m.texts.detail, at, end});
        at = end;
    }
    stale_ = false;
    return runs_;
}

}  // namespace vintrelle

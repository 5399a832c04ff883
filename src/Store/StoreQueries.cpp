// The read side of the store: lookups, derived lists, trip covers, the
// folder tree and grid sections, all computed from the in-memory lists.

#include <algorithm>
#include <clocale>
#include <cmath>
#include <limits>
#include <span>
#include <string_view>
#include <utility>

#include <QThreadPool>

#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include "Core/Base/Locale.h"
#include "Core/Base/Text.h"
#include "Core/Base/WallClock.h"
#include "Store/LibraryStore.h"
#include "Store/MainThread.h"
#include "Store/StoreText.h"

namespace vintrelle {

std::optional<Asset> LibraryStore::asset(int64_t id) const {
    const std::optional<size_t> at = position(id);
    if (!at) return std::nullopt;
    return assets()[*at];
}

std::optional<Trip> LibraryStore::trip(int64_t id) const {
    for (const Trip& t : trips_)
        if (t.id == id) return t;
    return std::nullopt;
}

std::optional<Person> LibraryStore::person(int64_t id) const {
    for (const Person& p : persons_)
        if (p.id == id) return p;
    return std::nullopt;
}

std::optional<Album> LibraryStore::album(int64_t id) const {
    for (const Album& a : albums_)
        if (a.id == id) return a;
    return std::nullopt;
}

std::optional<Trip> LibraryStore::tripContaining(const Asset& asset) const {
    for (const Trip& t : trips_)
        if (!t.hidden && t.start <= asset.taken && asset.taken <= t.end) return t;
    return std::nullopt;
}

std::vector<Asset> LibraryStore::recentlyAdded() const {
    if (assets().empty()) return {};
    double newest = -std::numeric_limits<double>::infinity();
    for (const Asset& a : assets()) newest = std::max(newest, a.added);
    // Measured back from the newest addition, so a library left alone for
    // months still shows what came in last.
    const double since = newest - 2592000.0;
    std::vector<Asset> out;
    for (const Asset& a : assets())
        if (a.added >= since) out.push_back(a);
    std::stable_sort(out.begin(), out.end(), [](const Asset& a, const Asset& b) {
        return a.added > b.added || (a.added == b.added && a.taken > b.taken);
    });
    return out;
}

std::vector<Asset> LibraryStore::assetsOf(int64_t personID) const {
    auto it = personAssets_.find(personID);
    if (it == personAssets_.end()) return {};
    std::vector<Asset> out;
    for (const Asset& a : assets())
        if (it->second.count(a.id)) out.push_back(a);
    return out;
}

std::vector<Asset> LibraryStore::assetsInFolder(const std::string& folder) const {
    const std::string prefix = folder + "/";
    std::vector<Asset> out;
    for (const Asset& a : assets())
        if (a.path.compare(0, prefix.size(), prefix) == 0) out.push_back(a);
    return out;
}

SearchSources LibraryStore::searchSources() const {
    return {&trips_, &persons_, &personAssets_, &albums_, revision_, collectionsRevision_};
}

std::vector<size_t> LibraryStore::searchPositions(const std::vector<Asset>& list, std::string_view query) {
    return searcher_.matchingIndices(list, query, searchSources(), DateQuery::now(), DateQuery::localeIsDayFirst());
}

std::vector<size_t> LibraryStore::searchPositions(const std::shared_ptr<const AssetList>& list,
                                                  std::string_view query) {
    // A shared list, the store's own among them, stands still, so a
    // keystroke over it reuses what the last one learnt of every asset.
    return searcher_.matchingIndices(list, query, searchSources(), DateQuery::now(), DateQuery::localeIsDayFirst());
}

void LibraryStore::prepareSearch() {
    if (shutDown_) return;
    std::weak_ptr<LibraryStore> weak = weak_from_this();
    std::shared_ptr<const AssetList> snapshot = assets_;
    const int revision = revision_;
    background_->start([weak, snapshot = std::move(snapshot), revision]() mutable {
        auto ahead = std::make_shared<AssetSearch>();
        ahead->prepareAhead(snapshot, revision);
        snapshot.reset();  // the pages it alone still holds go now, not with the posted task
        postToMainThread([weak, ahead] {
            if (auto self = weak.lock(); self && !self->shutDown_) self->searcher_.adopt(std::move(*ahead));
        });
    });
}

std::vector<Asset> LibraryStore::search(const std::vector<Asset>& list, std::string_view query) {
    const std::vector<size_t> found = searchPositions(list, query);
    if (found.size() == list.size()) return list;
    std::vector<Asset> out;
    out.reserve(found.size());
    for (size_t i : found) out.push_back(list[i]);
    return out;
}

std::vector<Asset> LibraryStore::search(const AssetList& list, std::string_view query) {
    const auto shared = list.sameAs(*assets_) ? assets_ : std::make_shared<const AssetList>(list);
    return search(shared, query)->toVector();
}

std::shared_ptr<const AssetList> LibraryStore::search(const std::shared_ptr<const AssetList>& list,
                                                      std::string_view query) {
    const std::vector<size_t> found = searchPositions(list, query);
    if (found.size() == list->size()) return list;
    // The positions ascend: one walk through the list picks them up.
    std::vector<Asset> out;
    out.reserve(found.size());
    auto it = list->begin();
    size_t at = 0;
    for (size_t i : found) {
        it += std::ptrdiff_t(i - at);
        at = i;
        out.push_back(*it);
    }
    return std::make_shared<const AssetList>(std::move(out));
}

std::vector<Asset> LibraryStore::geotagged() const {
    std::vector<Asset> out;
    for (const Asset& a : assets())
        if (a.lat && a.lon) out.push_back(a);
    return out;
}

std::vector<Trip> LibraryStore::visibleTrips() const {
    std::vector<Trip> out;
    for (const Trip& t : trips_)
        if (!t.hidden) out.push_back(t);
    return out;
}

std::vector<Person> LibraryStore::visiblePersons() const {
    std::vector<Person> out;
    for (const Person& p : persons_)
        if (!p.hidden && (!p.name.empty() || p.faceCount > 2)) out.push_back(p);
    std::stable_sort(out.begin(), out.end(), [](const Person& a, const Person& b) {
        const bool an = !a.name.empty(), bn = !b.name.empty();
        if (an != bn) return an;
        if (a.faceCount != b.faceCount) return a.faceCount > b.faceCount;
        return a.id < b.id;
    });
    return out;
}

std::vector<Person> LibraryStore::hiddenPersons() const {
    std::vector<Person> out;
    for (const Person& p : persons_)
        if (p.hidden) out.push_back(p);
    return out;
}

std::vector<Person> LibraryStore::peopleIn(const Asset& asset) {
    std::vector<Person> out;
    std::vector<int64_t> seen;
    for (const FaceRef& f : db_->faces(asset.id, true)) {
        if (!f.personID || std::find(seen.begin(), seen.end(), *f.personID) != seen.end()) continue;
        seen.push_back(*f.personID);
        if (auto p = person(*f.personID); p && !p->hidden) out.push_back(*p);
    }
    return out;
}

AssetRange LibraryStore::range(double from, double to) const {
    size_t l = 0, u = assets().size();
    while (l < u) {
        const size_t mid = (l + u) / 2;
        if (to < assets()[mid].taken) l = mid + 1;
        else u = mid;
    }
    const size_t lower = l;
    l = 0;
    u = assets().size();
    while (l < u) {
        const size_t mid = (l + u) / 2;
        if (from <= assets()[mid].taken) l = mid + 1;
        else u = mid;
    }
    return {lower, std::max(l, lower)};
}

std::optional<int64_t> LibraryStore::coverID(const Trip& trip) {
    // The cover the user chose, while it is one of the trip's photos. A trip
    // split by photos taken at home keeps its row, cover and all, and the
    // photo chosen may now lie in the other part: until the parts join
    // again, the trip shows a cover of its own.
    if (trip.coverAssetID) {
        const auto chosen = takenOf_.find(*trip.coverAssetID);
        if (chosen != takenOf_.end() && chosen->second >= trip.start && chosen->second <= trip.end)
            return trip.coverAssetID;
    }
    if (auto it = coverCache_.find(trip.id); it != coverCache_.end() && it->second.first == revision_)
        return it->second.second;

    std::optional<int64_t> cover;
    const AssetRange r = range(trip.start, trip.end);
    if (!r.empty()) {
        for (size_t i = r.lower; i < r.upper && !cover; ++i)
            if (assets()[i].favorite && assets()[i].kind == MediaKind::photo) cover = assets()[i].id;
        if (!cover) {
            const double n = double(r.size());
            const double mid = double(r.lower + r.size() / 2);
            double best = -std::numeric_limits<double>::infinity();
            for (size_t i = r.lower; i < r.upper; ++i) {
                const Asset& a = assets()[i];
                if (a.thumbState != 1) continue;
                double score = -std::abs(double(i) - mid) / n;
                if (a.width > 0 && a.height > 0 && double(a.width) / double(a.height) >= 1.2) score += 1.0;
                if (a.kind == MediaKind::video) score -= 0.6;
                if (a.lat && a.lon) score += 0.2;
                if (score > best) {
                    best = score;
                    cover = a.id;
                }
            }
        }
    }
    coverCache_[trip.id] = {revision_, cover};
    return cover;
}

// ---- sections ----------------------------------------------------------------

namespace {

// Consecutive assets with equal keys make one section, in list order; the
// maker gets the run's first asset, its key and how many photos and videos
// it holds.
template <class List, class Key, class Make>
std::vector<SectionRun> groupRuns(const List& list, Key key, Make make) {
    std::vector<SectionRun> out;
    auto it = list.begin();
    const auto end = list.end();
    size_t i = 0;
    while (it != end) {
        const Asset& first = *it;
        const auto k = key(first);
        const size_t from = i;
        long long videos = 0;
        do {
            videos += it->kind == MediaKind::video ? 1 : 0;
            ++it;
            ++i;
        } while (it != end && key(*it) == k);
        SectionRun run = make(first, k, (long long)(i - from) - videos, videos);
        run.begin = from;
        run.end = i;
        out.push_back(std::move(run));
    }
    return out;
}

long long floorDiv(double t, double unit) { return (long long)std::floor(t / unit); }

// "Added" dates follow the user's clock: the day an asset was added is the
// local calendar day, and its title is written in the same zone, in the
// Gregorian calendar like every other date of the grid.
class LocalDays {
public:
    LocalDays() : zone_(icu::TimeZone::createDefault()), fmt_(gregorianDateFormat("yMMMMd", *zone_)) {}
    long long day(double t) const {
        int32_t raw = 0, dst = 0;
        UErrorCode status = U_ZERO_ERROR;
        zone_->getOffset(UDate(t * 1000.0), false, raw, dst, status);
        if (U_FAILURE(status)) raw = dst = 0;
        return floorDiv(t + double(raw + dst) / 1000.0, 86400.0);
    }
    std::string title(double t) const {
        if (!fmt_) return {};
        icu::UnicodeString out;
        fmt_->format(UDate(t * 1000.0), out);
        std::string s;
        out.toUTF8String(s);
        return s;
    }

private:
    std::unique_ptr<icu::TimeZone> zone_;
    std::unique_ptr<icu::SimpleDateFormat> fmt_;
};

}  // namespace

std::vector<GridSection> LibraryStore::sections(const std::vector<Asset>& list, Grouping grouping) const {
    std::vector<Asset> ordered = list;
    std::vector<GridSection> out;
    for (SectionRun& run : sectionRuns(ordered, grouping))
        out.push_back(GridSection{std::move(run.id), std::move(run.title), std::move(run.detail),
                                  std::vector<Asset>(std::make_move_iterator(ordered.begin() + long(run.begin)),
                                                     std::make_move_iterator(ordered.begin() + long(run.end)))});
    return out;
}

std::vector<SectionRun> LibraryStore::sectionRuns(std::vector<Asset>& list, Grouping grouping) const {
    if (grouping == Grouping::tripDays) std::reverse(list.begin(), list.end());
    return sectionRuns(std::as_const(list), grouping);
}

namespace {

template <class List>
std::vector<SectionRun> runsOf(const List& list, Grouping grouping) {
    if (list.empty()) return {};
    switch (grouping) {
        case Grouping::month:
            return groupRuns(list, [](const Asset& a) { return WallClock::monthKey(a.taken); }, monthSection);
        case Grouping::tripDays: {
            const long long firstDay = WallClock::dayNumber(list.front().taken);
            return groupRuns(list, [](const Asset& a) { return WallClock::dayNumber(a.taken); },
                             [firstDay](const Asset& first, long long day, long long photos, long long videos) {
                                 return SectionRun{sectionID('d', day), "Day " + std::to_string(day - firstDay + 1),
                                                   WallClock::format(WallClock::Template::dayLong, first.taken) +
                                                       "  \u00b7  " + sectionSummary(photos, videos)};
                             });
        }
        case Grouping::added: {
            const LocalDays local;
            return groupRuns(list, [&](const Asset& a) { return local.day(a.added); },
                             [&](const Asset& first, long long day, long long photos, long long videos) {
                                 return SectionRun{sectionID('a', day), "Added " + local.title(first.added),
                                                   sectionSummary(photos, videos)};
                             });
        }
        default:
            return {SectionRun{"all", "", "", 0, list.size()}};
    }
}

}  // namespace

std::vector<SectionRun> LibraryStore::sectionRuns(const std::vector<Asset>& list, Grouping grouping) const {
    return runsOf(list, grouping);
}

std::vector<SectionRun> LibraryStore::sectionRuns(const AssetList& list, Grouping grouping) const {
    return runsOf(list, grouping);
}

}  // namespace vintrelle

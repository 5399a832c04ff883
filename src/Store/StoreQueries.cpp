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
    auto it = position_.find(id);
    if (it == position_.end() || it->second >= assets().size()) return std::nullopt;
    return assets()[it->second];
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

std::vector<size_t> LibraryStore::searchPositions(const std::vector<Asset>& list,
                                                  std::shared_ptr<const std::vector<Asset>> shared,
                                                  std::string_view query) {
    const SearchSources sources{&trips_, &persons_, &personAssets_, &albums_, revision_, collectionsRevision_};
    const double now = DateQuery::now();
    const bool dayFirst = DateQuery::localeIsDayFirst();
    // A shared list, the store's own among them, stands still for as long as
    // the revision does, so a keystroke over it reuses what the last one
    // learnt of every asset.
    if (!shared && &list == assets_.get()) shared = assets_;
    if (shared) return searcher_.matchingIndices(shared, query, sources, now, dayFirst);
    return searcher_.matchingIndices(list, query, sources, now, dayFirst);
}

void LibraryStore::prepareSearch() {
    if (shutDown_) return;
    std::weak_ptr<LibraryStore> weak = weak_from_this();
    std::shared_ptr<const std::vector<Asset>> snapshot = assets_;
    const int revision = revision_;
    background_->start([weak, snapshot = std::move(snapshot), revision]() mutable {
        auto ahead = std::make_shared<AssetSearch>();
        ahead->prepareAhead(snapshot, revision);
        snapshot.reset();  // the store edits its list in place again once it is the only holder
        postToMainThread([weak, ahead] {
            if (auto self = weak.lock(); self && !self->shutDown_) self->searcher_.adopt(std::move(*ahead));
        });
    });
}

std::vector<Asset> LibraryStore::search(const std::vector<Asset>& list, std::string_view query) {
    const std::vector<size_t> found = searchPositions(list, nullptr, query);
    if (found.size() == list.size()) return list;
    std::vector<Asset> out;
    out.reserve(found.size());
    for (size_t i : found) out.push_back(list[i]);
    return out;
}

std::shared_ptr<const std::vector<Asset>> LibraryStore::search(const std::shared_ptr<const std::vector<Asset>>& list,
                                                               std::string_view query) {
    const std::vector<size_t> found = searchPositions(*list, list, query);
    if (found.size() == list->size()) return list;
    auto out = std::make_shared<std::vector<Asset>>();
    out->reserve(found.size());
    for (size_t i : found) out->push_back((*list)[i]);
    return out;
}

std::vector<Asset> LibraryStore::geotagged() const {
    std::vector<Asset> out;
    for (const Asset& a : assets())
        if (a.lat && a.lon) out.push_back(a);
    return out;
}

int LibraryStore::photoCount() const {
    const std::vector<Asset>& list = assets();
    return int(std::count_if(list.begin(), list.end(), [](const Asset& a) { return a.kind != MediaKind::video; }));
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
    for (const FaceRef& f : db_->faces(asset.id)) {
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
    if (trip.coverAssetID && position_.count(*trip.coverAssetID)) return trip.coverAssetID;
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

// ---- folder tree -----------------------------------------------------------

namespace {

struct Builder {
    int count = 0;
    std::unordered_map<std::string, std::unique_ptr<Builder>> children;
};

std::vector<FolderNode> buildNodes(const Builder& node, const std::string& prefix) {
    std::vector<const std::string*> names;
    names.reserve(node.children.size());
    for (const auto& [name, child] : node.children) names.push_back(&name);
    std::sort(names.begin(), names.end(),
              [](const std::string* a, const std::string* b) { return storetext::folderNameBefore(*a, *b); });
    std::vector<FolderNode> out;
    out.reserve(names.size());
    for (const std::string* name : names) {
        const Builder& child = *node.children.at(*name);
        FolderNode n;
        n.path = prefix.empty() ? *name : prefix + "/" + *name;
        n.name = text::displayable(*name);  // the path keeps the bytes on disk
        n.count = child.count;
        n.children = buildNodes(child, n.path);
        out.push_back(std::move(n));
    }
    return out;
}

}  // namespace

const std::vector<FolderNode>& LibraryStore::folderTree() {
    if (folderCache_ && folderCache_->first == revision_) return folderCache_->second;

    std::unordered_map<std::string_view, int> counts;
    for (const Asset& a : assets()) {
        const size_t slash = a.path.rfind('/');
        if (slash == std::string::npos || slash == 0) continue;  // directly in the library folder
        ++counts[std::string_view(a.path).substr(0, slash)];
    }
    Builder root;
    for (const auto& [folder, n] : counts) {
        Builder* node = &root;
        size_t start = 0;
        while (start <= folder.size()) {
            size_t end = folder.find('/', start);
            if (end == std::string_view::npos) end = folder.size();
            if (end > start) {
                auto& child = node->children[std::string(folder.substr(start, end - start))];
                if (!child) child = std::make_unique<Builder>();
                child->count += n;
                node = child.get();
            }
            start = end + 1;
        }
    }
    folderCache_ = std::pair{revision_, buildNodes(root, "")};
    return folderCache_->second;
}

// ---- sections ----------------------------------------------------------------

namespace {

std::string summary(std::span<const Asset> run) {
    long long videos = 0;
    for (const Asset& a : run) videos += a.kind == MediaKind::video ? 1 : 0;
    const long long photos = (long long)run.size() - videos;
    std::string out;
    if (photos > 0) out = Format::items(photos, "photo");
    if (videos > 0) {
        if (!out.empty()) out += ", ";
        out += Format::items(videos, "video");
    }
    return out;
}

// Consecutive assets with equal keys make one section, in list order.
template <class Key, class Make>
std::vector<SectionRun> groupRuns(const std::vector<Asset>& list, Key key, Make make) {
    std::vector<SectionRun> out;
    size_t i = 0;
    while (i < list.size()) {
        const auto k = key(list[i]);
        size_t j = i + 1;
        while (j < list.size() && key(list[j]) == k) ++j;
        SectionRun run = make(std::span<const Asset>(list.data() + i, j - i), k);
        run.begin = i;
        run.end = j;
        out.push_back(std::move(run));
        i = j;
    }
    return out;
}

long long floorDiv(double t, double unit) { return (long long)std::floor(t / unit); }

// A section's id: its kind's letter and its key.
std::string sectionID(char kind, long long key) {
    std::string id(1, kind);
    id += std::to_string(key);
    return id;
}

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

std::vector<SectionRun> LibraryStore::sectionRuns(const std::vector<Asset>& list, Grouping grouping) const {
    if (list.empty()) return {};
    switch (grouping) {
        case Grouping::month:
            return groupRuns(list, [](const Asset& a) { return WallClock::monthKey(a.taken); },
                             [](std::span<const Asset> run, int key) {
                                 return SectionRun{sectionID('m', key),
                                                   WallClock::format(WallClock::Template::monthYear, run.front().taken),
                                                   summary(run)};
                             });
        case Grouping::tripDays: {
            const long long first = WallClock::dayNumber(list.front().taken);
            return groupRuns(list, [](const Asset& a) { return WallClock::dayNumber(a.taken); },
                             [first](std::span<const Asset> run, long long day) {
                                 return SectionRun{sectionID('d', day), "Day " + std::to_string(day - first + 1),
                                                   WallClock::format(WallClock::Template::dayLong, run.front().taken) +
                                                       "  \u00b7  " + summary(run)};
                             });
        }
        case Grouping::added: {
            const LocalDays local;
            return groupRuns(list, [&](const Asset& a) { return local.day(a.added); },
                             [&](std::span<const Asset> run, long long day) {
                                 return SectionRun{sectionID('a', day), "Added " + local.title(run.front().added),
                                                   summary(run)};
                             });
        }
        default:
            return {SectionRun{"all", "", "", 0, list.size()}};
    }
}

}  // namespace vintrelle

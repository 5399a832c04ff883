#include "Core/Search/AssetSearch.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "Core/Base/Text.h"
#include "Core/Base/WallClock.h"

namespace vintrelle {

namespace {

// Names compare case-insensitively but with their accents; canonically
// equivalent spellings (NFC, NFD) compare equal.
std::string loweredName(std::string_view s) { return text::nfc(text::lowercased(s)); }

std::string foldedCase(std::string_view s) { return text::nfc(text::caseFolded(s)); }

bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

// Tells a changed path or camera from the one an entry was folded from;
// eight bytes a step, as this runs once per asset and keystroke.
uint64_t mix(uint64_t h, std::string_view s) {
    constexpr uint64_t k = 0x9e3779b97f4a7c15ULL;
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        uint64_t w;
        std::memcpy(&w, s.data() + i, 8);
        h = (h ^ w) * k;
        h ^= h >> 29;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, s.data() + i, s.size() - i);
    h = (h ^ tail ^ (uint64_t(s.size()) << 56)) * k;
    return h ^ (h >> 32);
}

uint64_t sourceHash(const Asset& a) {
    const uint64_t h = mix(0x243f6a8885a308d3ULL, a.path);
    return a.camera ? mix(h + 1, *a.camera) : h;
}

bool isOneOf(std::string_view t, std::initializer_list<std::string_view> list) {
    for (auto w : list)
        if (t == w) return true;
    return false;
}

}  // namespace

struct AssetSearch::Matcher {
    std::string text;
    std::optional<DateFilter> date;
    std::vector<std::pair<double, double>> ranges;
    std::unordered_set<int64_t> ids;
    bool wantsVideo = false;
    bool wantsPhoto = false;
    bool wantsFavorite = false;
    bool wantsLive = false;
    std::string pathNeedle;    // text folded like the paths
    std::string cameraNeedle;  // text folded like the cameras
    // The times of the date's year, so most assets fail without a calendar.
    double yearStart = -HUGE_VAL;
    double yearEnd = HUGE_VAL;
};

std::vector<std::string> AssetSearch::words(std::string_view query) {
    const std::string lowered = text::nfc(text::lowercased(query));
    std::vector<std::string> out;
    const auto* p = reinterpret_cast<const uint8_t*>(lowered.data());
    const int32_t n = int32_t(lowered.size());
    int32_t start = 0;
    for (int32_t i = 0; i < n;) {
        const int32_t at = i;
        UChar32 c;
        U8_NEXT(p, i, n, c);
        if (c == ',' || (c >= 0 && u_isUWhiteSpace(c))) {
            if (at > start) out.emplace_back(lowered, size_t(start), size_t(at - start));
            start = i;
        }
    }
    if (n > start) out.emplace_back(lowered, size_t(start), size_t(n - start));
    return out;
}

// Finds the folds of the asset at `slot` (or by its id) and folds its path
// and camera again when they are not what the folds were made from; true
// when the slot or its texts changed.
bool AssetSearch::refold(const Asset& asset, uint32_t& slot) {
    bool changed = false;
    if (slot == kNoSlot || folded_[slot].id != asset.id) {
        auto [it, inserted] = slotOfID_.try_emplace(asset.id, uint32_t(folded_.size()));
        if (inserted) {
            folded_.emplace_back();
            folded_.back().id = asset.id;
        }
        slot = it->second;
        changed = true;
    }
    Folded& f = folded_[slot];
    const uint64_t h = sourceHash(asset);
    if (!f.ready || f.sourceHash != h) {
        f.ready = true;
        f.sourceHash = h;
        f.path = text::foldedForSearch(asset.path);
        f.camera = asset.camera ? foldedCase(*asset.camera) : std::string();
        f.hasCamera = asset.camera.has_value();
        changed = true;
    }
    return changed;
}

template <class List>
void AssetSearch::prepare(const List& assets, const std::shared_ptr<const AssetList>* owner, int64_t revision,
                          bool needTaken, bool needMarks) {
    View& v = view_;
    if (assetsRevision_ != revision) {
        // The folds stay, as the hashes tell a changed path, unless most of
        // them are of assets no longer listed.
        if (folded_.size() > 2 * largestList_ + 1024) {
            folded_.clear();
            slotOfID_.clear();
            v.slot.clear();
            largestList_ = 0;
        }
        v.list = nullptr;
        assetsRevision_ = revision;
    }
    largestList_ = std::max(largestList_, assets.size());
    if (owner && v.list == &assets && v.size == assets.size() && v.owner.lock() == *owner) return;

    // Anything may have changed in a list that is not known to stand still.
    // The slots are only hints (a copy of the last list finds its folds in
    // place); each is checked against the asset's id.
    const size_t n = assets.size();
    bool rebuild = v.start.size() != n + 1;
    if (v.slot.size() != n) {
        v.slot.assign(n, kNoSlot);
        rebuild = true;
    }
    v.list = &assets;
    v.size = n;
    v.taken.resize(n);
    v.flags.resize(n);
    // Fields far into the record are read only when a term asks for them,
    // or when the view is to stand for keystrokes to come.
    needTaken |= owner != nullptr;
    needMarks |= owner != nullptr;
    size_t i = 0;
    for (const Asset& a : assets) {
        rebuild |= refold(a, v.slot[i]);
        uint8_t flags = a.kind == MediaKind::video ? kVideo : 0;
        if (needMarks) flags |= uint8_t((a.favorite ? kFavorite : 0) | (a.liveVideo ? kLive : 0));
        v.flags[i] = flags;
        if (needTaken) v.taken[i] = a.taken;
        ++i;
    }
    if (owner) v.owner = *owner;
    else v.owner.reset();
    if (!rebuild) return;

    v.text.clear();
    v.start.resize(n + 1);
    v.camera.resize(n);
    v.cameras.clear();
    std::unordered_map<std::string_view, uint32_t> cameraIndex;
    for (size_t i = 0; i < n; ++i) {
        const Folded& f = folded_[v.slot[i]];
        v.start[i] = v.text.size();
        v.text += f.path;
        v.camera[i] = 0;
        if (!f.hasCamera) continue;
        auto [it, inserted] = cameraIndex.try_emplace(f.camera, uint32_t(v.cameras.size() + 1));
        if (inserted) v.cameras.push_back(f.camera);
        v.camera[i] = it->second;
    }
    v.start[n] = v.text.size();
}

// Marks the positions whose folded path holds `needle`, in one pass over
// all the paths rather than a search per path.
void AssetSearch::markPaths(std::string_view needle, std::vector<uint8_t>& hit) const {
    const View& v = view_;
    hit.assign(v.size, needle.empty() ? 1 : 0);
    if (needle.empty() || v.text.size() < needle.size()) return;
    // Short needles stop a byte search at nearly every path: the needle's
    // last byte is looked at before the rest is compared.
    const char* text = v.text.data();
    const size_t m = needle.size(), last = v.text.size() - m;
    const char final = needle.back();
    size_t pos = 0;
    for (size_t from = 0; from <= last;) {
        const void* found = std::memchr(text + from, needle.front(), last + 1 - from);
        if (!found) break;
        const size_t at = size_t(static_cast<const char*>(found) - text);
        from = at + 1;
        if (text[at + m - 1] != final || std::memcmp(text + at, needle.data(), m) != 0) continue;
        while (v.start[pos + 1] <= at) ++pos;
        // A match across the end of one path and the start of the next is none.
        if (at + m <= v.start[pos + 1]) {
            hit[pos] = 1;
            from = v.start[pos + 1];  // the rest of this path can add nothing
        }
    }
}

void AssetSearch::refreshNames(const SearchSources& s) {
    static const std::vector<Trip> noTrips;
    static const std::vector<Person> noPersons;
    static const std::vector<Album> noAlbums;
    const auto& trips = s.trips ? *s.trips : noTrips;
    const auto& persons = s.persons ? *s.persons : noPersons;
    const auto& albums = s.albums ? *s.albums : noAlbums;

    // The lists change only with the collections revision; a list that
    // changed behind its back is caught by its ids and folded anew.
    auto sameIds = [](const auto& cached, const auto& live) {
        if (cached.size() != live.size()) return false;
        for (size_t i = 0; i < live.size(); ++i)
            if (cached[i].id != live[i].id) return false;
        return true;
    };
    if (namesRevision_ == s.collectionsRevision && sameIds(trips_, trips) && sameIds(persons_, persons) &&
        sameIds(albums_, albums))
        return;

    trips_.clear();
    trips_.reserve(trips.size());
    for (const auto& t : trips) trips_.push_back({t.id, loweredName(t.title()), loweredName(t.subtitle)});
    persons_.clear();
    persons_.reserve(persons.size());
    for (const auto& p : persons) persons_.push_back({p.id, loweredName(p.name)});
    albums_.clear();
    albums_.reserve(albums.size());
    for (const auto& a : albums) albums_.push_back({a.id, loweredName(a.name)});
    namesRevision_ = s.collectionsRevision;
}

AssetSearch::Matcher AssetSearch::matcher(std::string t, std::optional<DateFilter> date,
                                          const SearchSources& s) const {
    Matcher m;
    m.pathNeedle = text::foldedForSearch(t);
    m.cameraNeedle = foldedCase(t);
    m.wantsVideo = isOneOf(t, {"video", "videos", "movie", "movies"});
    m.wantsPhoto = isOneOf(t, {"photo", "photos"});
    m.wantsFavorite = isOneOf(t, {"favorite", "favorites", "favourite", "favourites"});
    m.wantsLive = t == "live";
    m.date = date;
    if (date && date->year) {
        m.yearStart = double(WallClock::daysFromCivil(*date->year, 1, 1)) * 86400;
        m.yearEnd = double(WallClock::daysFromCivil(*date->year + 1, 1, 1)) * 86400;
    }

    // refreshNames has lined the folded names up with the live lists.
    if (s.trips) {
        for (size_t i = 0; i < s.trips->size(); ++i) {
            const Trip& trip = (*s.trips)[i];
            if (trip.hidden) continue;
            if (contains(trips_[i].title, t) || contains(trips_[i].subtitle, t))
                m.ranges.emplace_back(trip.start, trip.end);
        }
    }
    if (s.persons) {
        for (size_t i = 0; i < s.persons->size(); ++i) {
            const Person& person = (*s.persons)[i];
            if (person.name.empty() || !contains(persons_[i].name, t) || !s.personAssets) continue;
            auto it = s.personAssets->find(person.id);
            if (it != s.personAssets->end()) m.ids.insert(it->second.begin(), it->second.end());
        }
    }
    if (s.albums) {
        for (size_t i = 0; i < s.albums->size(); ++i)
            if (contains(albums_[i].name, t))
                m.ids.insert((*s.albums)[i].assetIDs.begin(), (*s.albums)[i].assetIDs.end());
    }
    // By start and without overlaps, so the one that may hold a time is
    // found by a binary search.
    std::sort(m.ranges.begin(), m.ranges.end());
    size_t kept = 0;
    for (const auto& r : m.ranges) {
        if (kept > 0 && r.first <= m.ranges[kept - 1].second)
            m.ranges[kept - 1].second = std::max(m.ranges[kept - 1].second, r.second);
        else
            m.ranges[kept++] = r;
    }
    m.ranges.resize(kept);
    m.text = std::move(t);
    return m;
}

std::vector<size_t> AssetSearch::matchingIndices(const std::vector<Asset>& assets, std::string_view query,
                                                 const SearchSources& sources, double today, bool dayFirst) {
    return matching(assets, nullptr, query, sources, today, dayFirst);
}

std::vector<size_t> AssetSearch::matchingIndices(const std::shared_ptr<const AssetList>& assets,
                                                 std::string_view query, const SearchSources& sources, double today,
                                                 bool dayFirst) {
    return matching(*assets, &assets, query, sources, today, dayFirst);
}

template <class List>
std::vector<size_t> AssetSearch::matching(const List& assets, const std::shared_ptr<const AssetList>* owner,
                                          std::string_view query, const SearchSources& sources, double today,
                                          bool dayFirst) {
    std::vector<size_t> result;
    const std::vector<std::string> w = words(query);
    if (w.empty()) {
        result.resize(assets.size());
        for (size_t i = 0; i < assets.size(); ++i) result[i] = i;
        return result;
    }

    // Each date phrase is one term; every other word is a term of its own.
    std::vector<std::pair<std::string, std::optional<DateFilter>>> terms;
    size_t cursor = 0;
    for (const auto& match : DateQuery::find(w, dayFirst, today)) {
        for (; cursor < match.firstWord; ++cursor) terms.emplace_back(w[cursor], std::nullopt);
        std::string joined;
        for (size_t k = match.firstWord; k < match.endWord; ++k) {
            if (!joined.empty()) joined += ' ';
            joined += w[k];
        }
        terms.emplace_back(std::move(joined), match.filter);
        cursor = match.endWord;
    }
    for (; cursor < w.size(); ++cursor) terms.emplace_back(w[cursor], std::nullopt);

    refreshNames(sources);
    std::vector<Matcher> matchers;
    matchers.reserve(terms.size());
    for (auto& [t, date] : terms) matchers.push_back(matcher(std::move(t), date, sources));

    bool needTaken = false, needMarks = false;
    for (const Matcher& m : matchers) {
        needTaken |= m.date.has_value() || !m.ranges.empty();
        needMarks |= m.wantsFavorite || m.wantsLive;
    }
    prepare(assets, owner, sources.revision, needTaken, needMarks);
    const View& v = view_;
    const std::string_view text = v.text;

    // Term by term, each over the assets that passed the terms before it.
    result.resize(assets.size());
    for (size_t i = 0; i < result.size(); ++i) result[i] = i;
    std::vector<uint8_t> pathHit, cameraHit, idHit;
    for (const Matcher& m : matchers) {
        // One pass over all the paths pays while most assets are still in.
        const bool scan = result.size() * 4 > assets.size();
        if (scan) markPaths(m.pathNeedle, pathHit);
        cameraHit.assign(v.cameras.size() + 1, 0);
        for (size_t k = 0; k < v.cameras.size(); ++k) cameraHit[k + 1] = contains(v.cameras[k], m.cameraNeedle);
        // The people's and albums' assets by their folds' slots, which every
        // asset of the view has.
        idHit.assign(m.ids.empty() ? 0 : folded_.size(), 0);
        for (int64_t id : m.ids)
            if (auto it = slotOfID_.find(id); it != slotOfID_.end()) idHit[it->second] = 1;

        auto passes = [&](size_t i) {
            const uint8_t flags = v.flags[i];
            if ((m.wantsVideo && (flags & kVideo)) || (m.wantsPhoto && !(flags & kVideo)) ||
                (m.wantsFavorite && (flags & kFavorite)) || (m.wantsLive && (flags & kLive)) || cameraHit[v.camera[i]])
                return true;
            if (scan ? pathHit[i] != 0 : contains(text.substr(v.start[i], v.start[i + 1] - v.start[i]), m.pathNeedle))
                return true;
            if (!idHit.empty() && idHit[v.slot[i]]) return true;
            const double taken = v.taken[i];
            if (!m.ranges.empty()) {
                auto after = std::upper_bound(m.ranges.begin(), m.ranges.end(), taken,
                                              [](double t, const auto& r) { return t < r.first; });
                if (after != m.ranges.begin() && taken <= std::prev(after)->second) return true;
            }
            return m.date && taken >= m.yearStart && taken < m.yearEnd && m.date->matches(taken);
        };
        size_t kept = 0;
        for (size_t i : result)
            if (passes(i)) result[kept++] = i;
        result.resize(kept);
        if (result.empty()) break;
    }
    return result;
}

std::vector<Asset> AssetSearch::search(const std::vector<Asset>& assets, std::string_view query,
                                       const SearchSources& sources, double today, bool dayFirst) {
    const auto indices = matchingIndices(assets, query, sources, today, dayFirst);
    if (indices.size() == assets.size()) return assets;
    std::vector<Asset> out;
    out.reserve(indices.size());
    for (size_t i : indices) out.push_back(assets[i]);
    return out;
}

void AssetSearch::prepareAhead(const std::shared_ptr<const AssetList>& assets, int64_t revision) {
    prepare(*assets, &assets, revision, true, true);
    // The locale's month names and date order are looked up once per process.
    DateQuery::find(words("1 january 2000"), DateQuery::localeIsDayFirst(), DateQuery::now());
}

void AssetSearch::adopt(AssetSearch&& ahead) {
    if (!assetsRevision_) {
        *this = std::move(ahead);
        return;
    }
    // Searched meanwhile: the list may have moved on, but folds are folds of
    // their path and camera, checked by hash where they are used.
    for (Folded& f : ahead.folded_) {
        if (!f.ready) continue;
        auto [it, inserted] = slotOfID_.try_emplace(f.id, uint32_t(folded_.size()));
        if (inserted) folded_.push_back(std::move(f));
        else if (!folded_[it->second].ready) folded_[it->second] = std::move(f);
    }
    largestList_ = std::max(largestList_, ahead.largestList_);
}

std::vector<Asset> AssetSearch::search(const std::vector<Asset>& assets, std::string_view query,
                                       const SearchSources& sources) {
    return search(assets, query, sources, DateQuery::now(), DateQuery::localeIsDayFirst());
}

}  // namespace vintrelle

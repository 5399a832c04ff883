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

const AssetSearch::Folded& AssetSearch::folded(const std::vector<Asset>& assets, size_t index) {
    const Asset& asset = assets[index];
    uint32_t& slot = slotAt_[index];
    if (slot == kNoSlot || folded_[slot].id != asset.id) {
        auto [it, inserted] = slotOfID_.try_emplace(asset.id, uint32_t(folded_.size()));
        if (inserted) folded_.push_back(Folded{asset.id, 0, {}, {}});
        slot = it->second;
    }
    Folded& f = folded_[slot];
    const uint64_t h = sourceHash(asset);
    if (f.path.empty() || f.sourceHash != h) {
        f.sourceHash = h;
        f.path = text::foldedForSearch(asset.path);
        f.camera = asset.camera ? foldedCase(*asset.camera) : std::string();
    }
    return f;
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
    // By start, so the walk over them stops at the first that starts later.
    std::sort(m.ranges.begin(), m.ranges.end());
    m.text = std::move(t);
    return m;
}

std::vector<size_t> AssetSearch::matchingIndices(const std::vector<Asset>& assets, std::string_view query,
                                                 const SearchSources& sources, double today, bool dayFirst) {
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

    if (assetsRevision_ != sources.revision) {
        folded_.clear();
        slotOfID_.clear();
        lastList_ = nullptr;
        assetsRevision_ = sources.revision;
    }
    if (lastList_ != assets.data() || lastListSize_ != assets.size()) {
        slotAt_.assign(assets.size(), kNoSlot);
        lastList_ = assets.data();
        lastListSize_ = assets.size();
    }

    // The folded texts are fetched once per asset, and only when a term gets
    // as far as the path.
    auto passes = [&](size_t i, const Matcher& m, const Folded*& f) {
        const Asset& a = assets[i];
        const bool video = a.kind == MediaKind::video;
        if ((video && m.wantsVideo) || (!video && m.wantsPhoto) || (m.wantsFavorite && a.favorite) ||
            (m.wantsLive && a.liveVideo))
            return true;
        if (!m.ids.empty() && m.ids.count(a.id)) return true;
        for (const auto& [start, end] : m.ranges) {
            if (start > a.taken) break;
            if (a.taken <= end) return true;
        }
        if (m.date && a.taken >= m.yearStart && a.taken < m.yearEnd && m.date->matches(a.taken)) return true;
        if (!f) f = &folded(assets, i);
        if (contains(f->path, m.pathNeedle)) return true;
        return a.camera && contains(f->camera, m.cameraNeedle);
    };

    for (size_t i = 0; i < assets.size(); ++i) {
        bool all = true;
        const Folded* f = nullptr;
        for (const auto& m : matchers) {
            if (!passes(i, m, f)) {
                all = false;
                break;
            }
        }
        if (all) result.push_back(i);
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

std::vector<Asset> AssetSearch::search(const std::vector<Asset>& assets, std::string_view query,
                                       const SearchSources& sources) {
    return search(assets, query, sources, DateQuery::now(), DateQuery::localeIsDayFirst());
}

}  // namespace vintrelle

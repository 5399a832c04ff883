// Titles of trips from the place names of their stops.

#include <algorithm>

#include "Core/Base/Text.h"
#include "Core/Places/TripDetector.h"

namespace vintrelle {

namespace {

// Texts kept once each, in first-seen order. Two texts are the same when
// canonically equivalent (a name spelt NFC and NFD counts once); no case
// folding and no trimming. The first spelling seen is the one kept.
class DistinctTexts {
public:
    bool insert(const std::string& s) {
        std::string key = text::nfc(s);
        if (std::find(keys_.begin(), keys_.end(), key) != keys_.end()) return false;
        keys_.push_back(std::move(key));
        texts_.push_back(s);
        return true;
    }
    void insert(const std::optional<std::string>& s) {
        if (s) insert(*s);
    }
    bool contains(const std::string& s) const {
        return std::find(keys_.begin(), keys_.end(), text::nfc(s)) != keys_.end();
    }
    size_t size() const { return texts_.size(); }
    const std::string& operator[](size_t i) const { return texts_[i]; }
    const std::vector<std::string>& texts() const { return texts_; }

private:
    std::vector<std::string> keys_;
    std::vector<std::string> texts_;
};

std::string joined(const std::vector<std::string>& parts, size_t most, const char* separator) {
    std::string out;
    for (size_t i = 0; i < parts.size() && i < most; ++i) {
        if (i > 0) out += separator;
        out += parts[i];
    }
    return out;
}

// The countries sorted, the first three, joined by the dot separator.
std::string countryList(const DistinctTexts& countries) {
    std::vector<std::string> sorted = countries.texts();
    std::sort(sorted.begin(), sorted.end());
    return joined(sorted, 3, TripDetector::dotSeparator);
}

}  // namespace

std::optional<PlaceName> TripDetector::merge(const std::vector<PlaceName>& places) {
    if (places.empty()) return std::nullopt;
    DistinctTexts localities, admins;
    for (const PlaceName& p : places) {
        localities.insert(p.locality);
        admins.insert(p.admin);
    }
    // Several towns within one region: the stop is named after the region.
    if (localities.size() >= 2 && admins.size() == 1)
        return PlaceName{admins[0], places.front().admin, places.front().country};
    return places.front();
}

std::optional<TripTitle> TripDetector::title(const std::vector<PlaceName>& places) {
    DistinctTexts names, countries, admins;
    for (const PlaceName& p : places) {
        if (p.locality) names.insert(*p.locality);
        else if (p.admin) names.insert(*p.admin);
        else if (p.country) names.insert(*p.country);
        countries.insert(p.country);
        admins.insert(p.admin);
    }
    if (names.size() == 0) return std::nullopt;
    const std::string country = countries.size() == 1 ? countries[0] : std::string();

    if (names.size() == 2) {
        std::string subtitle = country;
        if (admins.size() == 1) subtitle = country.empty() ? admins[0] : admins[0] + commaSeparator + country;
        // Two places in two countries name both, as a longer trip does: an
        // empty line would hide the trip from a search for either country.
        else if (countries.size() > 1) subtitle = countryList(countries);
        return TripTitle{names[0] + andSeparator + names[1], subtitle};
    }

    if (names.size() == 1) {
        const std::string& title = names[0];
        const PlaceName& first = places.front();
        std::vector<std::string> parts;
        for (const auto& part : {first.admin, first.country})
            if (part && !text::canonicallyEqual(*part, title)) parts.push_back(*part);
        return TripTitle{title, joined(parts, 2, commaSeparator)};
    }

    if (admins.size() == 1 && !names.contains(admins[0]))
        return TripTitle{admins[0], joined(names.texts(), 3, dotSeparator)};
    const std::string title = names[0] + commaSeparator + names[1] + moreSuffix;
    if (countries.size() == 1 && !countries[0].empty()) return TripTitle{title, countries[0]};
    return TripTitle{title, countryList(countries)};
}

}  // namespace vintrelle

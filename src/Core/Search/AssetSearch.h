#pragma once
// The search field's filter over a list of assets: file and folder names, a
// camera, a trip, a person, an album, a kind of item and dates, every word
// (or date phrase) a term that an asset must pass.
//
// An AssetSearch keeps what it has folded for comparison (asset paths and
// cameras by asset, trip, person and album names per collections revision),
// so a keystroke does not fold the whole library again. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Core/Index/AssetList.h"
#include "Core/Index/Models.h"
#include "Core/Search/DateQuery.h"

namespace vintrelle {

// Person id -> ids of the assets holding a face of that person.
using PersonAssets = std::unordered_map<int64_t, std::unordered_set<int64_t>>;

// What the search reads of the library besides the assets themselves. The
// lists are borrowed for the length of one call; absent lists are empty.
struct SearchSources {
    const std::vector<Trip>* trips = nullptr;
    const std::vector<Person>* persons = nullptr;
    const PersonAssets* personAssets = nullptr;
    const std::vector<Album>* albums = nullptr;
    // Raised on every change of the asset list: assets searched at one
    // revision keep their paths and cameras.
    int64_t revision = 0;
    // Raised whenever trips, albums or people are reloaded.
    int64_t collectionsRevision = 0;
};

class AssetSearch {
public:
    // The assets of `assets` that pass every term of `query`, in their order.
    // Date words are read at the current moment, day-first as the user's
    // locale writes dates.
    std::vector<Asset> search(const std::vector<Asset>& assets, std::string_view query, const SearchSources& sources);
    // The same with the moment (seconds since 1970) and the order given.
    std::vector<Asset> search(const std::vector<Asset>& assets, std::string_view query, const SearchSources& sources,
                              double today, bool dayFirst);
    // Indices into `assets` of the same result, without copying records.
    std::vector<size_t> matchingIndices(const std::vector<Asset>& assets, std::string_view query,
                                        const SearchSources& sources, double today, bool dayFirst);
    // The same over a list its owner shares and changes only together with
    // the revision: searched again at one revision, the list is known to be
    // as it was, so no path is read again, only the folds are.
    std::vector<size_t> matchingIndices(const std::shared_ptr<const AssetList>& assets, std::string_view query,
                                        const SearchSources& sources, double today, bool dayFirst);

    // What a first search over `assets` at `revision` would make, made
    // ahead: every path and camera folded and laid out, and the date words
    // of the user's locale read. It reads nothing but the list, so a
    // searcher made for the purpose may run it on another thread while the
    // user has yet to type, and be handed to adopt() on the main thread.
    void prepareAhead(const std::shared_ptr<const AssetList>& assets, int64_t revision);
    // Takes what `ahead` prepared: all of it while this searcher has not
    // searched yet, else the folds it lacks.
    void adopt(AssetSearch&& ahead);

    // The lower-cased words of a search text: split at Unicode white space
    // and commas, empty pieces dropped.
    static std::vector<std::string> words(std::string_view query);

private:
    struct Folded {
        int64_t id = 0;
        uint64_t sourceHash = 0;  // of the path and camera the entry was folded from
        std::string path;         // case- and diacritic-folded
        std::string camera;       // case-folded; empty when the asset has none
        bool hasCamera = false;
        bool ready = false;
    };
    static constexpr uint32_t kNoSlot = UINT32_MAX;
    struct NamedTrip {
        int64_t id = 0;
        std::string title;  // lower-cased display title
        std::string subtitle;
    };
    struct Named {
        int64_t id = 0;
        std::string name;  // lower-cased
    };
    struct Matcher;

    // The list last searched, by position, laid out for one pass per term:
    // what the terms read of each asset, and the folded paths end to end.
    struct View {
        const void* list = nullptr;
        size_t size = 0;
        // The shared list it was read from, while searched at one revision:
        // the view then stands as it is.
        std::weak_ptr<const void> owner;
        std::vector<uint32_t> slot;  // of each asset's folds in folded_
        std::vector<double> taken;
        std::vector<uint8_t> flags;    // kVideo, kFavorite, kLive
        std::vector<uint32_t> camera;  // 1 + index into cameras, 0 for none
        std::string text;              // the folded paths one after another
        std::vector<size_t> start;     // where each path starts in text, then text's size
        std::vector<std::string> cameras;
    };
    static constexpr uint8_t kVideo = 1, kFavorite = 2, kLive = 4;

    bool refold(const Asset& asset, uint32_t& slot);
    template <class List>
    void prepare(const List& assets, const std::shared_ptr<const AssetList>* owner, int64_t revision, bool needTaken,
                 bool needMarks);
    void markPaths(std::string_view needle, std::vector<uint8_t>& hit) const;
    void refreshNames(const SearchSources& sources);
    Matcher matcher(std::string text, std::optional<DateFilter> date, const SearchSources& sources) const;
    template <class List>
    std::vector<size_t> matching(const List& assets, const std::shared_ptr<const AssetList>* owner,
                                 std::string_view query, const SearchSources& sources, double today, bool dayFirst);

    std::optional<int64_t> assetsRevision_;
    // Folds by asset id, kept across revisions: a new revision re-reads
    // every path but folds again only those that changed.
    std::vector<Folded> folded_;
    std::unordered_map<int64_t, uint32_t> slotOfID_;
    size_t largestList_ = 0;  // since the folds were last cleared
    View view_;
    std::optional<int64_t> namesRevision_;
    std::vector<NamedTrip> trips_;
    std::vector<Named> persons_;
    std::vector<Named> albums_;
};

}  // namespace vintrelle

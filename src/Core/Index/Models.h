#pragma once
// Plain value records shared by every layer: what the index stores and the
// screens show. Equality compares every stored field; texts compare by
// canonical equivalence so NFC and NFD spellings of one name are equal.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Core/Base/MediaTypes.h"

namespace vintrelle {

// Gives nothing for raw values other than 0 and 1.
std::optional<MediaKind> mediaKindFromRaw(int64_t raw);

struct Asset {
    int64_t id = 0;
    std::string path;
    MediaKind kind = MediaKind::photo;
    int64_t size = 0;
    double mtime = 0;
    double taken = 0;
    int width = 0;
    int height = 0;
    double duration = 0;
    std::optional<double> lat;
    std::optional<double> lon;
    std::optional<std::string> camera;
    std::optional<std::string> lens;
    std::optional<int> iso;
    std::optional<double> fnumber;
    std::optional<double> exposure;
    std::optional<double> focal;
    bool favorite = false;
    std::optional<std::string> liveVideo;
    bool hidden = false;
    int thumbState = 0;
    double added = 0;
};
bool operator==(const Asset& a, const Asset& b);

struct Trip {
    int64_t id = 0;
    std::string autoTitle;
    std::optional<std::string> customTitle;
    std::string subtitle;
    double start = 0;
    double end = 0;
    double lat = 0;
    double lon = 0;
    bool hidden = false;
    std::optional<int64_t> coverAssetID;
    bool named = false;

    // customTitle when present and not empty, else autoTitle.
    const std::string& title() const;
};
bool operator==(const Trip& a, const Trip& b);

struct Person {
    int64_t id = 0;
    std::string name;
    bool hidden = false;
    std::optional<int64_t> coverFaceID;
    int faceCount = 0;
};
bool operator==(const Person& a, const Person& b);

struct Album {
    int64_t id = 0;
    std::string name;
    double created = 0;
    std::vector<int64_t> assetIDs;
};
bool operator==(const Album& a, const Album& b);

struct FaceRecord {
    int64_t id = 0;
    int64_t assetID = 0;
    std::optional<int64_t> personID;
    bool locked = false;
    double quality = 0;
    std::vector<float> embedding;
};

struct PlaceBox {
    double minLat = 0;
    double maxLat = 0;
    double minLon = 0;
    double maxLon = 0;
    std::string title;
};
bool operator==(const PlaceBox& a, const PlaceBox& b);

struct PlaceName {
    std::optional<std::string> locality;
    std::optional<std::string> admin;
    std::optional<std::string> country;

    // One line: the first two distinct non-empty parts joined by ", ".
    std::optional<std::string> display() const;
};
bool operator==(const PlaceName& a, const PlaceName& b);

// What the folder scan needs to know of an indexed file.
struct FileStat {
    int64_t id = 0;
    int64_t size = 0;
    double mtime = 0;
    bool done = false;
    // The print of the file's first bytes (AbsentFiles.h) while it has this
    // size and time, when it was read.
    std::optional<int64_t> head;
};

}  // namespace vintrelle

template <>
struct std::hash<vintrelle::PlaceBox> {
    size_t operator()(const vintrelle::PlaceBox& b) const noexcept;
};

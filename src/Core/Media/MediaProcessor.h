#pragma once
// Reading photos and movies: capture time, size, place, camera data and the
// 480-pixel thumbnail. Stateless and safe to call from many threads at once;
// nothing here throws, every problem ends as an absent field.

#include <optional>
#include <string>
#include <string_view>

#include "Core/Media/Image.h"

namespace vintrelle {

struct ProcessedMedia {
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
    bool thumbOK = false;
    // The thumbnail was made but could not be written (the system's errno;
    // 0 otherwise): the data folder's fault, not the file's.
    int thumbWriteError = 0;
};

namespace MediaProcessor {

// Call once on the main thread before any worker reads media.
void initialize();

ProcessedMedia processPhoto(const std::string& url, double fallbackDate, const std::string& thumbURL);
ProcessedMedia processVideo(const std::string& url, double fallbackDate, const std::string& thumbURL);

std::optional<double> parseExifDate(std::string_view text);
// ISO 6709 location text ("+38.7223-009.1393+012.000/") to (lat, lon).
std::optional<std::pair<double, double>> parseISO6709(std::string_view text);

// A failure to write the encoded bytes leaves the system's errno in writeError.
bool writeJPEG(const Image& image, const std::string& url, double quality, int* writeError = nullptr);
// A JPEG file is written aside and moved into place once whole; a process
// killed in between leaves the file aside behind. Removes those in folder,
// or only those of the file named target (a name in folder) when given.
void removeUnfinishedWrites(const std::string& folder, std::string_view target = {});
// The picture upright, longer side at most maxPixel; nullptr when it cannot be decoded.
ImageRef loadImage(const std::string& url, int maxPixel);

// Wall-clock seconds of a date (and time) found in a file name.
std::optional<double> guessDate(std::string_view name);
// The fallback capture time for a file: the date in its name, else its
// modification time as local wall-clock time.
double fallbackDate(std::string_view fileName, double mtime);

}  // namespace MediaProcessor

}  // namespace vintrelle

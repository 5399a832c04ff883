#pragma once
// The viewer's full image of a photo, with HEIF files (HEIC, AVIF) decoded by
// libheif on threads of its own.
//
// libvips never gives libheif a thread count, so libheif decodes the tiles of
// a phone's 12-megapixel HEIC on its default few threads, and that photo is
// the slowest picture a user waits for in the viewer. The indexing workers
// keep that path (they decode many files at once); the photo on screen is the
// one file the user waits for, and its tiles get the cores. The face pass,
// whose workers fill the processors between them, decodes each HEIF photo on
// its worker's thread alone instead of on libheif's default threads.

#include <string>

#include "Core/Media/Image.h"

namespace vintrelle::MediaProcessor {

// The same picture as loadImage(url, maxPixel): upright, in sRGB, at most
// maxPixel on the longer side; null when the file cannot be decoded. A HEIF
// file is decoded by libheif on `threads` decoding threads (0: on the
// calling thread alone); any other file goes to loadImage.
ImageRef loadFullImage(const std::string& url, int maxPixel, int threads);

}  // namespace vintrelle::MediaProcessor

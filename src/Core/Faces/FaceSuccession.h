#pragma once
// A photo read again (touched, copied, restored, re-encoded, turned) is
// analysed afresh, yet its faces carry what the user gave them: a person's
// name through the person they belong to, and faces taken out of a person.
// So each face found again takes the place of the face found there before
// whose print it matches as closely as an edit of the same photo keeps it,
// wherever the edit moved it. A face at the same place with a print less
// alike is someone else, however much alike (another photo saved over this
// one). Only an earlier analyser's prints, which do not compare with
// today's, leave the place to decide, once. A face with no predecessor is
// new to the photo, and an earlier face with no successor is gone from it.

#include <vector>

#include "Core/Faces/FaceEngine.h"
#include "Core/Media/Image.h"

namespace vintrelle {

struct PlacedFace {
    FaceRect rect;  // 0-1 of the image, top-left origin
    std::vector<float> embedding;
    // Its print was made by an earlier face analyser and says nothing next
    // to today's: only its place can tell it.
    bool olderPrint = false;
};

// For each face of `found`, the index in `earlier` of the face it takes the
// place of, or -1. Each earlier face is taken at most once, the closest
// pairs first.
std::vector<int> earlierFaceOf(const std::vector<PlacedFace>& earlier, const std::vector<PlacedFace>& found);

// Where a box of a picture lies once the picture is turned clockwise by
// `quarters` quarter turns (0-3; other values are taken modulo 4).
FaceRect turnedRect(const FaceRect& r, int quarters);
// The picture turned clockwise by `quarters` quarter turns.
Image turnedImage(const Image& image, int quarters);

}  // namespace vintrelle

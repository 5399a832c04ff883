#pragma once
// A photo read again (touched, copied, restored, re-encoded) is analysed
// afresh, yet its faces carry what the user gave them: a person's name
// through the person they belong to, and faces taken out of a person. So
// each face found again takes the place of the face found there before:
// the one whose box it covers, or whose print it matches as closely as a
// face joins a person. A face with no such predecessor is new to the photo,
// and an earlier face with no successor is gone from it.

#include <vector>

#include "Core/Faces/FaceEngine.h"

namespace vintrelle {

struct PlacedFace {
    FaceRect rect;  // 0-1 of the image, top-left origin
    std::vector<float> embedding;
};

// For each face of `found`, the index in `earlier` of the face it takes the
// place of, or -1. Each earlier face is taken at most once, the closest
// pairs first.
std::vector<int> earlierFaceOf(const std::vector<PlacedFace>& earlier, const std::vector<PlacedFace>& found);

}  // namespace vintrelle

#pragma once
// The similarity thresholds that group faces into people, in one place so
// that clustering and the face evaluation measure the same numbers.
//
// Similarities are cosines of unit-length 128-value embeddings, compared in
// single precision; every threshold accepts a value equal to it. The
// embedding's cosines sit where these thresholds expect them (same person
// about 0.66, different people about 0.02), so they stand as designed.

namespace vintrelle::FaceThresholds {

// A face joins the cluster whose centroid it matches best at or above this.
inline constexpr float join = 0.40f;
// Below the join threshold, a cluster with at least topMatchMinCount faces
// is still considered when its centroid reaches topMatchGate; the face then
// joins when the mean of its three best matches among the cluster's samples
// reaches topMatch.
inline constexpr float topMatchGate = 0.33f;
inline constexpr float topMatch = 0.44f;
inline constexpr int topMatchMinCount = 3;
// Two clusters merge when their centroids reach merge, or when they reach
// mergeGate and the linkage (median best match of one's samples in the
// other) reaches mergeLinkage.
inline constexpr float merge = 0.5f;
inline constexpr float mergeGate = 0.33f;
inline constexpr float mergeLinkage = 0.42f;
// A person is suggested as maybe the same as another at or above this score.
inline constexpr float suggestion = 0.36f;

// A face found again in a photo read anew (touched, re-encoded, resized,
// cropped, turned, mirrored) is the face found there before only when its
// print is at least this alike, wherever it now stands: a stranger's photo
// saved over another puts faces where the old ones stood, and a look-alike's
// print can pass every grouping gate. On the labelled portraits
// (vintrelle-probe face-edits) an edit of the same photo keeps 0.86 or
// more, down to 0.67 for a 60-pixel face saved at half size and JPEG
// quality 50; faces of two different people reach 0.42, at the same place
// 0.38; another photo of the same person 0.44 to 0.90, which grouping
// places in its person anyway.
inline constexpr float sameFace = 0.55f;
// Prints of an earlier face analyser do not compare with today's: a face
// found again stands where such a face stood when their boxes overlap at
// least this much (intersection over union); faces side by side overlap far
// less.
inline constexpr double samePlace = 0.5;

// A face that matches no cluster opens a new one only at this capture quality.
inline constexpr double openQuality = 0.25;

// Embedding length, and how many member embeddings a cluster keeps as samples.
inline constexpr int embeddingSize = 128;
inline constexpr int sampleCap = 48;
// How many best sample matches are averaged into a top match.
inline constexpr int topMatchDepth = 3;

struct Named {
    const char* name;
    float value;
};
// Every similarity threshold, in rising order, for evaluation tables.
inline constexpr Named similarityThresholds[] = {
    {"topMatchGate", topMatchGate}, {"suggestion", suggestion}, {"join", join},
    {"mergeLinkage", mergeLinkage}, {"topMatch", topMatch},     {"merge", merge},
};

}  // namespace vintrelle::FaceThresholds

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

// A face found again in a photo read anew stands where an earlier face of
// that photo stood when their boxes overlap at least this much (intersection
// over union); faces side by side overlap far less.
inline constexpr double samePlace = 0.5;
// ... and is the same face only when its print agrees at least this much:
// the loosest likeness any grouping accepts. A stranger's photo saved over
// another's puts a face at the same place with a print unlike it.
inline constexpr float samePlaceLikeness = topMatchGate;

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

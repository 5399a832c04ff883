#pragma once
// A CSV of labelled face pairs ("a,b,same": two file names and 1 when both
// show the same person, 0 when not), as the face subcommands read it.

#include <map>
#include <string>
#include <vector>

namespace probe {

struct LabelledPair {
    std::string a, b;
    bool same = false;
};

// The pairs in file order; lines that are not a pair (the header) are skipped.
std::vector<LabelledPair> readPairs(const std::string& path);

// File name -> identity number, from the connected groups of "same" pairs.
std::map<std::string, int> identities(const std::string& path);

}  // namespace probe

#pragma once

#include <string>
#include <vector>

// The candidate nearest to word by edit distance (insertions, deletions,
// substitutions and swaps of neighbours, one each), when it is near enough
// to be a slip of the fingers: at most 2 edits, and fewer than half of
// word's length. Empty when none is; the first of equally near ones.
std::string nearestName(const std::string& word, const std::vector<std::string>& candidates);

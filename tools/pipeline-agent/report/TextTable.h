#pragma once

#include <string>
#include <vector>

// Prints rows on stdout, each column as wide as its widest entry, two spaces
// apart; the columns marked in rightAligned (one flag a column) right-aligned,
// the last unpadded, no line ending in a space. rows must not be empty, and
// every row must have as many entries as the first. Flushes stdout.
void printRows(const std::vector<std::vector<std::string>>& rows,
               const std::vector<bool>& rightAligned);

#include "report/TextTable.h"

#include <algorithm>
#include <cstdio>

void printRows(const std::vector<std::vector<std::string>>& rows,
               const std::vector<bool>& rightAligned) {
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            const std::string pad(width[c] - row[c].size(), ' ');
            if (c > 0) line += "  ";
            if (c + 1 == row.size()) {
                line += row[c];
            } else {
                line += rightAligned[c] ? pad + row[c] : row[c] + pad;
            }
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::printf("%s\n", line.c_str());
    }
    std::fflush(stdout);
}

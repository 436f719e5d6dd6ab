// SPDX-License-Identifier: GPL-3.0-or-later
#include "text_table.h"

#include <algorithm>
#include <cstddef>

namespace tavikctl {

std::vector<std::string> table_lines(const TextRows &rows) {
    std::vector<std::size_t> width;
    for (const auto &row : rows) {
        width.resize(std::max(width.size(), row.size()), 0);
        for (std::size_t c = 0; c + 1 < row.size(); ++c) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    std::vector<std::string> lines;
    for (const auto &row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                line += std::string(width[c] - row[c].size() + 2, ' ');
            }
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string text_table(const TextRows &rows) {
    std::string out;
    for (const std::string &line : table_lines(rows)) {
        out += line + "\n";
    }
    return out;
}

}  // namespace tavikctl

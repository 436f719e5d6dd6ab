// SPDX-License-Identifier: GPL-3.0-or-later
// The plain-text tables tavikctl prints: columns two spaces apart, each as wide as its
// widest cell. A row's last cell is neither padded nor counted in its column's width, so
// that a short row can carry a long remark without widening the table.
#pragma once

#include <string>
#include <vector>

namespace tavikctl {

using TextRows = std::vector<std::vector<std::string>>;

std::vector<std::string> table_lines(const TextRows &rows);
// The lines, each ended by a newline.
std::string text_table(const TextRows &rows);

}  // namespace tavikctl

#pragma once

// Rows of words lined up for a person to read, as qdctl's tables and the
// window's station summary print them.

#include <string>
#include <vector>

namespace qd::run {

// Rows of words as columns, each as wide as its widest word and two spaces
// apart, with no trailing space: the first row is the heading.
std::string columnsText(const std::vector<std::vector<std::string>>& rows);

} // namespace qd::run

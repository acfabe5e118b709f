#include "run/Columns.h"

#include "control/Printable.h"

#include <algorithm>

namespace qd::run {

std::string columnsText(const std::vector<std::vector<std::string>>& table) {
    // A serial or a note as typed, its control characters shown, not obeyed.
    std::vector<std::vector<std::string>> rows = table;
    for (auto& row : rows) {
        for (std::string& cell : row) {
            cell = control::printable(cell);
        }
    }
    std::vector<std::size_t> width;
    for (const auto& row : rows) {
        width.resize(std::max(width.size(), row.size()));
        for (std::size_t c = 0; c < row.size(); ++c) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    std::string text;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c] + std::string(width[c] - row[c].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        text += line + "\n";
    }
    return text;
}

} // namespace qd::run

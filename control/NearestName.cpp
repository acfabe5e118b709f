#include "control/NearestName.h"

#include <algorithm>

namespace qd::control {

std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        for (std::size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

std::string nearestName(std::string_view typed, const std::vector<std::string>& names) {
    const auto bare = [](std::string_view name) {
        return name.substr(std::min(name.find_first_not_of('-'), name.size()));
    };
    typed = bare(typed);
    std::string best;
    std::size_t bestDistance = 3;
    for (const auto& name : names) {
        const bool begins = typed.size() >= 3 && bare(name).starts_with(typed);
        const std::size_t distance = begins ? 0 : editDistance(typed, bare(name));
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

} // namespace qd::control

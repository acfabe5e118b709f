#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qd::control {

// Edits from a to b, a swap of two neighbours counting as one: the
// slips of typing (hlep, --devcie).
std::size_t editDistance(std::string_view a, std::string_view b);

// The name nearest to what was typed, leading dashes aside: one it begins
// (prog, --dev), else one within two edits; empty when none is that near.
// Every place that refuses a name offers the same guess.
std::string nearestName(std::string_view typed, const std::vector<std::string>& names);

} // namespace qd::control

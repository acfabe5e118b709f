#pragma once

// Which codes a characterization measures. Standard C++ only.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::measure {

// The codes the figures are fitted over: 2^N/128 to 127*2^N/128, the
// datasheet convention that keeps the output's rails out of the fit.
struct FitRange {
    std::int32_t first = 0, last = 0;
    bool contains(std::int32_t code) const { return code >= first && code <= last; }
};
FitRange fitRange(int bits);

struct Plan {
    enum Kind { All, Fast, Every };
    Kind kind = All;
    std::int32_t every = 1; // Every: each every-th code

    // "all", "fast" or a hexadecimal code of 1 or more, as every code is
    // typed ("100": each 256th code); nullopt otherwise. text() gives the
    // code as codes are shown ("0100").
    static std::optional<Plan> parse(std::string_view text);
    std::string text() const;
};

// The codes of a plan for an N-bit converter, each once, in the order to
// measure them: first what the figures need, 0, the largest code, the fit
// range's two ends and mid-scale, so that a run cut short still has them;
// then the rest, ascending. Fast holds
// each single-bit code and the code below it (the carry into every bit),
// both sides of each carry into the six top bits, and a grid of 512
// codes: for 16 bits under 1% of the codes.
std::vector<std::int32_t> planCodes(int bits, const Plan& plan);

} // namespace qd::measure

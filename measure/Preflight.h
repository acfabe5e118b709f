#pragma once

// A few codes measured before a long plan, so that a setup that cannot
// give sound figures (a meter on another output, leads the wrong way round,
// a wrong reference, a range too small) is refused in seconds rather than
// found after hours. Standard C++ only.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qd::measure {

// Code 0, mid-scale and full scale, in that order.
std::vector<std::int32_t> preflightCodes(int bits);

struct PreflightSetup {
    int bits = 16;
    double referenceVolts = 4.93;
    double rangeVolts = 0; // what the meter holds; 0: no range to check
};

// What is wrong with the output read at preflightCodes(), in one line that
// names what was seen and the likely cause; nullopt when nothing is.
std::optional<std::string> preflightProblem(const std::vector<double>& volts,
                                            const PreflightSetup& setup);

// How far the span may differ from the reference's before the run is refused:
// a real converter's gain error is a fraction of a per cent.
inline constexpr double kPreflightGainTolerance = 0.05;

} // namespace qd::measure

#include "measure/Preflight.h"

#include "control/DataWord.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace qd::measure {

namespace {

std::string volts(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g V", v + 0.0);
    return text;
}

std::string percent(double fraction) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.1f %%", fraction * 100);
    return text;
}

} // namespace

std::vector<std::int32_t> preflightCodes(int bits) {
    const std::int32_t full = (std::int32_t{1} << bits) - 1;
    return {0, full / 2 + 1, full};
}

std::optional<std::string> preflightProblem(const std::vector<double>& v, const PreflightSetup& s) {
    const std::vector<std::int32_t> codes = preflightCodes(s.bits);
    if (v.size() != codes.size()) {
        throw std::invalid_argument("preflightProblem: one reading per pre-flight code");
    }
    const auto at = [&](std::size_t i) {
        return "code " + control::formatCode(codes[i]) + " reads " + volts(v[i]);
    };
    const std::string readings = at(0) + ", " + at(1) + ", " + at(2);
    if (s.rangeVolts > 0) {
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (std::abs(v[i]) > s.rangeVolts) {
                return at(i) + ", beyond the meter's " + volts(s.rangeVolts) +
                       " range: is --vref the board's reference?";
            }
        }
    }
    const double expected =
        s.referenceVolts * (std::ldexp(1.0, s.bits) - 1) / std::ldexp(1.0, s.bits);
    const double span = v[2] - v[0];
    if (std::abs(span) < kPreflightGainTolerance * expected) {
        return "the output is flat (" + readings +
               "): is the meter on this board's output, and the board powered?";
    }
    if (span < 0) {
        return "the output falls (" + readings + "): are the meter's leads the right way round?";
    }
    // Mid-scale lies halfway along a converter's line within a small
    // fraction of the span; far off it, the readings are not of this output.
    const double midway = v[0] + span / 2;
    if (std::abs(v[1] - midway) > kPreflightGainTolerance * span) {
        return "mid-scale is off the line through the ends (" + readings +
               "): is the meter on this board's output?";
    }
    const double gain = span / expected - 1;
    if (std::abs(gain) > kPreflightGainTolerance) {
        return "the output spans " + volts(span) + ", not the " + volts(expected) +
               " that --vref " + volts(s.referenceVolts) + " gives (gain " + percent(gain) +
               "): is --vref the board's reference?";
    }
    return std::nullopt;
}

} // namespace qd::measure

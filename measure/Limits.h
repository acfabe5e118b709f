#pragma once

// A production test's limits on the figures, and its verdict. Standard C++
// only.

#include "measure/Figures.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::measure {

// Each a bound on the figure's size, either sign.
struct Limits {
    std::optional<double> inl;       // LSB, best fit
    std::optional<double> dnl;       // LSB
    std::optional<double> offset;    // mV
    std::optional<double> gain;      // % of full scale
    std::optional<double> zero;      // mV, the zero-code error
    std::optional<double> fullScale; // % of full scale

    // "inl=2,dnl=1,offset=5,gain=0.1" (any of inl, dnl, offset, gain, zero,
    // fullscale; positive numbers). nullopt, with what is wrong in `why`,
    // otherwise.
    static std::optional<Limits> parse(std::string_view text, std::string& why);
    std::string text() const;
};

struct Verdict {
    bool pass = true;
    // One line per failed figure, naming it: "INL 2.31 LSB beyond 2 LSB".
    std::vector<std::string> failures;
};

// Whether a figure of `value` keeps within `limit`; without one it does.
bool withinLimit(const std::optional<double>& limit, double value);

// Not monotonic, not shown monotonic where every step was measured, or a
// figure beyond its limit fails. A plan that leaves steps out does not test
// monotonicity: that is said, and fails nothing.
Verdict judge(const Figures& figures, const Limits& limits);

} // namespace qd::measure

#pragma once

// A production test's limits on the figures, and its verdict. Standard C++
// only.

#include "measure/FigureKinds.h"
#include "measure/Figures.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::measure {

// The figure must lie from `low` to `high`. Given as one number, a bound
// on its size either sign (low = -high); as two, its least and its
// largest value.
struct Limit {
    double low = 0, high = 0;
    bool size = true;
};

// Figures are named as `--limits` and a limits file take them: a short
// name or the figure's JSON name, in any case:
//   inl          inl_best_fit_lsb          LSB, best fit
//   inl_endpoint inl_endpoint_lsb          LSB
//   dnl          dnl_lsb                   LSB
//   offset       offset_error_mv           mV
//   gain         gain_error_percent        % of full scale
//   zero         zero_code_error_mv        mV, the zero-code error
//   fullscale    full_scale_error_percent  % of full scale
// and the dynamic figures a scope measures (Dynamic.h):
//   settling     settling_time_us          µs
//   slew         slew_rate_v_per_us        V/µs
//   glitch       glitch_impulse_nvs        nV·s, net area
//   glitch_abs   glitch_impulse_abs_nvs    nV·s, absolute area
struct Limits {
    std::optional<Limit> inl, inlEndpoint, dnl, offset, gain, zero, fullScale;
    std::optional<Limit> settling, slew, glitch, glitchAbs;

    // "inl=2,dnl=1,offset=-1..2": NAME=SIZE (a number above 0) or
    // NAME=LOW..HIGH. nullopt, with what is wrong in `why`, otherwise: an
    // unknown name with the nearest known one ("no figure 'inll'; did you
    // mean 'inl'?"), a figure limited twice, a bad number.
    static std::optional<Limits> parse(std::string_view text, std::string& why);
    // A limits file: one figure a line, NAME SIZE or NAME LOW HIGH,
    // separated by blanks; `#` starts a comment; blank lines are skipped.
    // `why` names `file` and the line.
    static std::optional<Limits> parseFile(std::string_view content, const std::string& file,
                                           std::string& why);
    // As parse() reads it back.
    std::string text() const;
};

// Limits' text as parse() reads it, for a page: a blank after each comma,
// so that a long list wraps there instead of running past the margin.
std::string readableLimits(std::string_view text);

// The decision rule, as ILAC-G8 gives it, for a value and its expanded
// uncertainty against a limit.
enum class Decision {
    Pass,        // the value lies within the limit by more than its uncertainty
    Conditional, // the value lies within its uncertainty of the limit, either side
    Fail,        // the value lies beyond the limit by more than its uncertainty
};
// "PASS", "CONDITIONAL", "FAIL", as reports and JSON say it.
const char* decisionWord(Decision decision);
// The rule in one paragraph, for a report or a help page.
std::string decisionRuleText();

// A value without a known uncertainty is judged on its value alone.
Decision decide(const Limit& limit, const Figure& figure);

struct Verdict {
    Decision decision = Decision::Pass;
    // Whether the run passes: PASS, or CONDITIONAL when that was accepted.
    bool pass = true;
    // One line per failed figure, naming it: "best-fit INL +2.31 LSB at
    // code 4000 beyond the limit of 2 LSB".
    std::vector<std::string> failures;
    // One line per figure whose uncertainty straddles its limit.
    std::vector<std::string> conditional;
};

// A figure named by its kind, as the dynamic figures come.
struct KindFigure {
    const FigureKind* kind = nullptr;
    Figure figure;
};

// The dynamic figures a run measured against the limits on them, by the
// same rule; limits on figures the run did not measure (a settling run's
// glitch, any static figure) judge nothing here.
Verdict judge(const std::vector<KindFigure>& figures, const Limits& limits,
              bool acceptConditional = false);

// Not monotonic, not shown monotonic where every step was measured, or a
// figure beyond its limit fails. A plan that leaves steps out does not test
// monotonicity: that is said, and fails nothing. A figure whose uncertainty
// straddles its limit makes the verdict CONDITIONAL, which passes only when
// `acceptConditional`. Limits on the dynamic figures judge nothing here.
Verdict judge(const Figures& figures, const Limits& limits, bool acceptConditional = false);

} // namespace qd::measure

// The characterization's figures and verdict on readings made up to show
// one thing each, without a board or a meter.

#include "measure/Datasheet.h"
#include "measure/Extremes.h"
#include "measure/Figures.h"
#include "measure/Limits.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace qd::measure;

namespace {

// Every code of an 8-bit converter on a 2.56 V reference, one reading each.
std::vector<CodeMeasurement> readings(const std::function<double(int)>& volts) {
    std::vector<CodeMeasurement> measured;
    for (int code = 0; code < 256; ++code) {
        CodeMeasurement m{code, {}};
        m.samples.add(volts(code));
        measured.push_back(m);
    }
    return measured;
}

} // namespace

TEST(Figures, AnOutputThatDoesNotFollowTheCodesFails) {
    struct Case {
        const char* name;
        std::function<double(int)> volts;
        Response response;
        const char* failure; // a word of the one failure, or "" to pass
    };
    const Case cases[] = {
        {"ideal", [](int code) { return code * 0.01; }, Response::Follows, ""},
        {"dead output", [](int) { return 0.0012; }, Response::Flat, "flat"},
        {"leads reversed", [](int code) { return -code * 0.01; }, Response::Falling, "falls"},
    };
    for (const auto& c : cases) {
        const Figures f = computeFigures(readings(c.volts), {8, 2.56, 0});
        EXPECT_EQ(f.response, c.response) << c.name;
        const Verdict v = judge(f, Limits{});
        EXPECT_EQ(v.pass, std::string(c.failure).empty()) << c.name;
        if (!v.pass) {
            ASSERT_EQ(v.failures.size(), 1u) << c.name;
            EXPECT_NE(v.failures[0].find(c.failure), std::string::npos)
                << c.name << ": " << v.failures[0];
        }
    }
}

// What a report or a script shows as the limit is the limit that was applied.
TEST(Limits, TextReadsBackAsTheLimitsGiven) {
    for (const char* text :
         {"inl=1.2345", "dnl=1,offset=0.1,gain=0.0125", "fullscale=0.3", "offset=-0.5..2"}) {
        std::string why;
        const auto limits = Limits::parse(text, why);
        ASSERT_TRUE(limits) << text << ": " << why;
        EXPECT_EQ(limits->text(), text);
    }
}

// Monotonicity is claimed only where every step of the fit range was seen.
TEST(Figures, MonotonicOnlyWhereEveryStepWasMeasured) {
    struct Case {
        const char* name;
        int every; // the codes measured: each every-th, and the plan's ends
        std::function<double(int)> volts;
        Monotonic monotonic;
        bool pass;
    };
    const auto ideal = [](int code) { return code * 0.01; };
    // Code 100 sits below code 99: invisible unless both are measured.
    const auto dip = [](int code) { return code == 100 ? 0.985 : code * 0.01; };
    const Case cases[] = {
        {"every code of an ideal converter", 1, ideal, Monotonic::Yes, true},
        {"every 16th code of an ideal converter", 16, ideal, Monotonic::NotMeasured, true},
        {"every 16th code over a dip between them", 16, dip, Monotonic::NotMeasured, true},
        {"every code over the dip", 1, dip, Monotonic::No, false},
    };
    const FitRange fit = fitRange(8);
    for (const auto& c : cases) {
        std::vector<CodeMeasurement> measured;
        for (const auto& m : readings(c.volts)) {
            if (m.code % c.every == 0 || m.code == 255 || m.code == fit.first ||
                m.code == fit.last) {
                measured.push_back(m);
            }
        }
        const Figures f = computeFigures(measured, {8, 2.56, 0});
        EXPECT_EQ(f.monotonic, c.monotonic) << c.name;
        EXPECT_EQ(judge(f, Limits{}).pass, c.pass) << c.name;
    }
}

// A run cut short has measured what the figures need, whatever the plan.
// The verdict names the step that left monotonicity unshown, with the
// uncertainty it was judged by, even when a wider gap between measured
// codes has the smaller rise per code.
TEST(Figures, AnUnresolvedStepIsNamedWithItsOwnUncertainty) {
    // Codes 51-66 not measured, the output rising only 8 LSB across them;
    // the step up from 99 rises 0.55 LSB; every reading has a spread of
    // ±2.5 mV, which makes a step's expanded uncertainty about 0.7 LSB.
    const auto volts = [](int code) {
        return code * 0.01 - (code >= 67 ? 0.09 : 0.0) - (code == 100 ? 0.0045 : 0.0);
    };
    std::vector<CodeMeasurement> measured;
    for (int code = 0; code < 256; ++code) {
        if (code > 50 && code < 67) {
            continue;
        }
        CodeMeasurement m{code, {}};
        m.samples.add(volts(code) + 0.0025);
        m.samples.add(volts(code) - 0.0025);
        measured.push_back(m);
    }
    const Figures f = computeFigures(measured, {8, 2.56, 0});
    ASSERT_EQ(f.monotonic, Monotonic::Unresolved);
    EXPECT_EQ(f.smallestStep.code, 50);
    EXPECT_EQ(f.unresolvedStep.code, 99);
    ASSERT_TRUE(f.unresolvedStep.uncertainty);
    EXPECT_GT(*f.unresolvedStep.uncertainty, f.unresolvedStep.value);
    const Verdict v = judge(f, Limits{});
    ASSERT_FALSE(v.failures.empty());
    EXPECT_NE(v.failures[0].find("from code 0063"), std::string::npos) << v.failures[0];
    EXPECT_NE(v.failures[0].find("± "), std::string::npos) << v.failures[0];
}

TEST(Plan, WhatTheFiguresNeedComesFirst) {
    for (const char* text : {"all", "fast", "100"}) {
        for (const int bits : {12, 14, 16}) {
            const auto codes = planCodes(bits, *Plan::parse(text));
            const FitRange fit = fitRange(bits);
            const std::vector<std::int32_t> first = {0, (1 << bits) - 1, fit.first, fit.last,
                                                     1 << (bits - 1)};
            ASSERT_GT(codes.size(), first.size()) << text << ", " << bits << " bits";
            EXPECT_EQ(std::vector<std::int32_t>(codes.begin(), codes.begin() + 5), first)
                << text << ", " << bits << " bits";
            for (std::size_t i = 6; i < codes.size(); ++i) {
                ASSERT_LT(codes[i - 1], codes[i]) << text << ", " << bits << " bits, at " << i;
            }
        }
    }
}

// INL and DNL as a datasheet gives them: the most negative and the most
// positive value, each where it is.
TEST(Figures, InlAndDnlHaveTheirLeastAndLargestWithCodes) {
    struct Case {
        const char* name;
        std::function<double(int)> volts;
        Span Figures::*figure;
        double min, max; // LSB
        int minCode, maxCode;
    };
    // One code raised, another lowered, by a quarter LSB each, at 10 mV an
    // LSB: the best-fit line barely moves, the endpoints not at all.
    const auto bumps = [](int code) {
        return code * 0.01 + (code == 40 ? 0.0025 : 0) - (code == 200 ? 0.0025 : 0);
    };
    // The step from 99 to 100 is 1.5 LSB, from 150 to 151 only 0.7.
    const auto steps = [](int code) {
        return code * 0.01 + (code >= 100 ? 0.005 : 0) - (code >= 151 ? 0.003 : 0);
    };
    const Case cases[] = {
        {"endpoint INL of a raised and a lowered code", bumps, &Figures::inlEndpoint, -0.25, 0.25,
         200, 40},
        {"best-fit INL of a raised and a lowered code", bumps, &Figures::inlBestFit, -0.25, 0.25,
         200, 40},
        {"DNL of a wide and a narrow step", steps, &Figures::dnl, -0.3, 0.5, 150, 99},
    };
    for (const auto& c : cases) {
        const Figures f = computeFigures(readings(c.volts), {8, 2.56, 0});
        const Span& span = f.*(c.figure);
        EXPECT_NEAR(span.min.value, c.min, 0.01) << c.name;
        EXPECT_NEAR(span.max.value, c.max, 0.01) << c.name;
        EXPECT_EQ(span.min.code, c.minCode) << c.name;
        EXPECT_EQ(span.max.code, c.maxCode) << c.name;
    }
}

// The largest of many noisy values stands for the largest true one: over
// many draws of the noise its error centres on 0 and stays within twice
// its standard uncertainty about 95 % of the time (0.88 to 0.995 over 200
// draws), whether a hundred codes compete for the top or one stands out,
// and it is where the largest reading is.
TEST(Figures, TheLargestOfNoisyValuesIsNotLiftedByTheirNoise) {
    struct Case {
        const char* name;
        std::function<double(double)> truth; // at x = code / 2^16, in noise's sds
    };
    const auto bow = [](double x) { return 36 * x * (1 - x); };
    const Case cases[] = {
        {"the flat top of a bow", bow},
        {"a bow stepping down at the carry into its top bit",
         [&bow](double x) { return bow(x) - (x >= 0.5 ? 3 : 0); }},
        {"one code far above the rest", [](double x) { return x == 0.5 ? 10.0 : 0.0; }},
    };
    std::vector<std::int32_t> codes;
    for (std::int32_t code = 512; code <= 65024; code += 128) {
        codes.push_back(code);
    }
    const std::vector<double> sds(codes.size(), 1.0);
    for (const auto& c : cases) {
        std::mt19937 draw(1);
        std::normal_distribution<double> noise;
        std::vector<double> truth, ratios;
        for (const std::int32_t code : codes) {
            truth.push_back(c.truth(code / 65536.0));
        }
        const double largest = *std::max_element(truth.begin(), truth.end());
        int held = 0;
        for (int run = 0; run < 200; ++run) {
            std::vector<double> values = truth;
            for (double& v : values) {
                v += noise(draw);
            }
            const ExtremeEstimate e = estimateLargest(codes, values, sds, 16, true);
            ASSERT_EQ(values[e.index], *std::max_element(values.begin(), values.end())) << c.name;
            held += std::abs(e.value - largest) <= 2 * e.uncertainty ? 1 : 0;
            ratios.push_back((e.value - largest) / (2 * e.uncertainty));
        }
        std::nth_element(ratios.begin(), ratios.begin() + 100, ratios.end());
        EXPECT_NEAR(ratios[100], 0, 0.2) << c.name;
        EXPECT_GE(held, 176) << c.name;
        EXPECT_LE(held, 199) << c.name;
    }
}

// Codes outside the fit range on the output's rail are said to be there,
// and nothing is said of an output that follows its codes to the ends.
TEST(Figures, CodesOnARailAreNoted) {
    struct Case {
        const char* name;
        std::function<double(int)> volts; // 10 mV an LSB, before noise
        double noise;                     // V, alternating around the output
        double meterStep;                 // V
        std::vector<std::string> notes;
    };
    // A 10-bit converter: its fit range is 0008 to 03F8.
    const auto railed = [](int code) { return std::clamp(code * 0.01 - 0.035, 0.0, 10.17); };
    const std::vector<std::string> both = {"codes 0000–0003 at the output's floor",
                                           "codes 03FD–03FF at the output's ceiling"};
    const Case cases[] = {
        {"ideal", [](int code) { return code * 0.01; }, 0, 0, {}},
        {"an offset below 0 V, pinned at both rails", railed, 0, 0, both},
        {"the same under noise of a tenth of an LSB", railed, 0.001, 0, both},
        {"a meter that reads in steps of 4 LSB: alike, but no rail",
         [](int code) { return std::floor(code / 4.0) * 0.04; },
         0,
         0.04,
         {}},
    };
    for (const auto& c : cases) {
        std::vector<CodeMeasurement> measured;
        for (int code = 0; code < 1024; ++code) {
            CodeMeasurement m{code, {}};
            for (const double sign : {1.0, -1.0}) {
                m.samples.add(c.volts(code) + sign * c.noise);
            }
            measured.push_back(m);
        }
        const Figures f = computeFigures(measured, {10, 10.24, c.meterStep});
        EXPECT_EQ(f.notes, c.notes) << c.name;
    }
}

// EVERY is a code like every other: hexadecimal.
TEST(Plan, EveryIsHexadecimal) {
    const struct {
        const char* text;
        std::optional<std::int32_t> every;
    } cases[] = {{"100", 256},           {"ff", 255},       {"1", 1}, {"0", std::nullopt},
                 {"256x", std::nullopt}, {"", std::nullopt}};
    for (const auto& c : cases) {
        const auto plan = Plan::parse(c.text);
        ASSERT_EQ(plan.has_value(), c.every.has_value()) << "'" << c.text << "'";
        if (plan) {
            EXPECT_EQ(plan->kind, Plan::Every) << c.text;
            EXPECT_EQ(plan->every, *c.every) << c.text;
            EXPECT_EQ(Plan::parse(plan->text())->every, *c.every) << c.text << " read back";
        }
    }
}

TEST(Limits, NamesAndFilesAsALabWritesThem) {
    const struct {
        const char* name;
        const char* text;
        bool file;
        const char* expect; // text() when taken, else what `why` says
    } cases[] = {
        {"any case", "INL=2,Offset=-1..2", false, "inl=2,offset=-1..2"},
        {"a JSON name", "dnl_lsb=1,inl_endpoint_lsb=3", false, "inl_endpoint=3,dnl=1"},
        {"a slip", "inll=2", false, "no figure 'inll'; did you mean 'inl'?"},
        {"a datasheet's heading", "inl_max=2", false, "no figure 'inl_max'; did you mean 'inl'?"},
        {"twice", "inl=2,INL_BEST_FIT_LSB=3", false, "'INL_BEST_FIT_LSB': inl is limited twice"},
        {"least above largest", "offset=2..-1", false,
         "offset: two numbers are its least and its largest value, the first below the "
         "second, not '2 -1'"},
        {"a file with comments, blank lines and a range",
         "# QD1600, production\n\ninl 2   # best fit\r\n\tOFFSET -1 2.5\ngain_error_percent 0.1\n",
         true, "inl=2,offset=-1..2.5,gain=0.1"},
        {"a file's bad line", "inl 2\n# dnl\ndnl one\n", true,
         "qd.limits:3: dnl: a bound on its size is a number above 0, not 'one'"},
        {"a file's line of three numbers", "\n\nzero 1 2 3", true,
         "qd.limits:3: zero: take one number (a bound on its size, in mV) or two (its least and "
         "its largest value)"},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto limits =
            c.file ? Limits::parseFile(c.text, "qd.limits", why) : Limits::parse(c.text, why);
        EXPECT_EQ(limits ? limits->text() : why, c.expect) << c.name;
        if (limits) {
            EXPECT_EQ(Limits::parse(limits->text(), why)->text(), c.expect) << c.name;
        }
    }
}

// ILAC-G8: inside with the uncertainty passes, outside with it fails, and
// a value whose uncertainty straddles the limit, on either side of it, is
// conditional, which passes the run only when accepted.
TEST(Limits, DecisionRule) {
    const struct {
        const char* name;
        double offset, u; // mV
        Decision decision;
    } cases[] = {
        {"inside with its uncertainty", 0.7, 0.2, Decision::Pass},
        {"on the limit with its uncertainty", 0.8, 0.2, Decision::Pass},
        {"straddling the limit, inside", 0.9, 0.2, Decision::Conditional},
        {"straddling the limit, outside", 1.1, 0.2, Decision::Conditional},
        {"straddling the lower limit", -1.1, 0.2, Decision::Conditional},
        {"outside with its uncertainty", 1.3, 0.2, Decision::Fail},
        {"below the least with its uncertainty", -1.5, 0.2, Decision::Fail},
    };
    Limits limits;
    limits.offset = Limit{-1.2, 1, false};
    for (const auto& c : cases) {
        Figures f = computeFigures(readings([](int code) { return code * 0.01; }), {8, 2.56, 0});
        f.offset = {c.offset, c.u};
        for (const bool accept : {false, true}) {
            const Verdict v = judge(f, limits, accept);
            EXPECT_EQ(v.decision, c.decision) << c.name;
            EXPECT_EQ(v.pass, c.decision == Decision::Pass ||
                                  (accept && c.decision == Decision::Conditional))
                << c.name << (accept ? ", accepted" : "");
            EXPECT_EQ(v.conditional.size(), c.decision == Decision::Conditional ? 1u : 0u)
                << c.name;
            EXPECT_EQ(v.failures.size(), c.decision == Decision::Fail ? 1u : 0u) << c.name;
        }
    }
}

namespace {

// A lot's table: min, typ (the mean) and max of what each unit has, the
// sample standard deviation only from two units on, INL signed as each
// unit's least and largest with the unit and code where the lot's extremes
// fall, and limits that differ across the units said, not one unit's shown.
TEST(Datasheet, EachFigureAcrossTheUnitsThatHaveIt) {
    using qd::measure::UnitFigures;
    const std::vector<UnitFigures> units = {
        {"U1",
         {{"offset_error_mv", -1.0}, {"inl_best_fit_lsb_min", -2.5}, {"inl_best_fit_lsb_max", 1.0}},
         {},
         {{"inl_best_fit_lsb_min", 0x1234}, {"inl_best_fit_lsb_max", 0x4000}}},
        {"U2",
         {{"offset_error_mv", 0.0}, {"inl_best_fit_lsb_min", -0.5}, {"inl_best_fit_lsb_max", 1.5}},
         {{"inl_best_fit_lsb_min", "2"}, {"inl_best_fit_lsb_max", "2"}},
         {{"inl_best_fit_lsb_min", 0x10}, {"inl_best_fit_lsb_max", 0x7FFF}}},
        {"U3", {{"offset_error_mv", 4.0}}, {}, {}},
    };
    const auto rows = qd::measure::datasheetRows(units);
    const auto row = [&](const std::string& name) {
        const auto it =
            std::find_if(rows.begin(), rows.end(), [&](const auto& r) { return r.name == name; });
        EXPECT_NE(it, rows.end()) << name;
        return it == rows.end() ? qd::measure::DatasheetRow{} : *it;
    };
    const auto offset = row("offset_error_mv");
    EXPECT_EQ(offset.units, 3u);
    EXPECT_DOUBLE_EQ(offset.min, -1.0);
    EXPECT_DOUBLE_EQ(offset.typ, 1.0);
    EXPECT_DOUBLE_EQ(offset.max, 4.0);
    EXPECT_EQ(offset.minUnit, 0u);
    EXPECT_EQ(offset.maxUnit, 2u);
    EXPECT_FALSE(offset.minCode) << "offset falls at no code";
    EXPECT_DOUBLE_EQ(*offset.sigma, std::sqrt(7.0)) << "n - 1: (4 + 1 + 9) / 2";
    const auto least = row("inl_best_fit_lsb_min");
    EXPECT_EQ(least.units, 2u) << "U3 has no INL";
    EXPECT_DOUBLE_EQ(least.min, -2.5) << "signed, not a magnitude";
    EXPECT_EQ(least.minUnit, 0u);
    EXPECT_EQ(least.minCode, 0x1234);
    const auto largest = row("inl_best_fit_lsb_max");
    EXPECT_DOUBLE_EQ(largest.max, 1.5);
    EXPECT_EQ(largest.maxUnit, 1u);
    EXPECT_EQ(largest.maxCode, 0x7FFF);
    EXPECT_TRUE(largest.limitsDiffer);
    EXPECT_EQ(largest.limit, "differ: none (1 unit), 2 (1 unit)")
        << "a unit judged by no limit is not one judged by U2's";
    EXPECT_TRUE(std::isnan(largest.perUnit[2]));
    EXPECT_TRUE(std::none_of(rows.begin(), rows.end(), [](const auto& r) {
        return r.name.starts_with("dnl_lsb");
    })) << "no row for a figure no unit has";

    const auto one = qd::measure::datasheetRows({units[0]});
    EXPECT_FALSE(one.front().sigma) << "no spread from one unit";
}

} // namespace

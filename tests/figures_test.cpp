// The characterization's figures and verdict on readings made up to show
// one thing each, without a board or a meter.

#include "measure/Figures.h"
#include "measure/Limits.h"

#include <functional>
#include <gtest/gtest.h>
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
    for (const char* text : {"inl=1.2345", "dnl=1,offset=0.1,gain=0.0125", "fullscale=0.3"}) {
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

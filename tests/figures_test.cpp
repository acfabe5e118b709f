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

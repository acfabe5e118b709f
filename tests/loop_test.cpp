// The one measurement loop: where it ends, and what it keeps when it ends
// early.

#include "measure/Loop.h"
#include "measure/Preflight.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

using namespace qd::measure;

TEST(MeasurementLoop, EndsWhereItMustAndKeepsTheRowsBefore) {
    struct Case {
        const char* what;
        int failAt; // the index of the code whose probe fails, or -1
        int stopAt; // the index before which a stop is asked, or -1
        int values; // what the probe gives for one sample
        std::size_t rows;
        int signal;
        bool probeError; // the failure is the probe's count
    };
    const Case cases[] = {
        {"every code", -1, -1, 1, 3, 0, false},
        {"a probe that fails at the third code", 2, -1, 1, 2, 0, false},
        {"a stop asked before the third code", -1, 2, 1, 2, 15, false},
        {"a probe that gives two values for one sample", -1, -1, 2, 0, 0, true},
    };
    for (const Case& c : cases) {
        std::vector<std::int32_t> programmed, sunk;
        std::size_t lastProgress = 0;
        LoopSettings settings;
        settings.progress = [&](std::size_t done) { lastProgress = done; };
        settings.stop = [&] { return static_cast<int>(programmed.size()) == c.stopAt ? 15 : 0; };
        const LoopOutcome outcome = runLoop(
            Codes::range(0, 7, 3),
            [&](std::int32_t code) {
                programmed.push_back(code);
                return code * 4;
            },
            [&](int samples) {
                if (static_cast<int>(programmed.size()) - 1 == c.failAt) {
                    throw std::runtime_error("gone");
                }
                return std::vector<double>(static_cast<std::size_t>(samples * c.values), 1.0);
            },
            {[&](const Row& row) {
                EXPECT_EQ(row.frame, row.code * 4) << c.what;
                sunk.push_back(row.code);
            }},
            settings);
        EXPECT_EQ(outcome.rows, c.rows) << c.what;
        EXPECT_EQ(sunk.size(), c.rows) << c.what;
        EXPECT_EQ(lastProgress, c.rows) << c.what;
        EXPECT_EQ(outcome.signal, c.signal) << c.what;
        for (std::size_t i = 0; i < sunk.size(); ++i) {
            EXPECT_EQ(sunk[i], static_cast<std::int32_t>(3 * i)) << c.what << ": row " << i;
        }
        const bool failed = c.failAt >= 0 || c.probeError;
        ASSERT_EQ(outcome.failure != nullptr, failed) << c.what;
        if (c.probeError) {
            EXPECT_THROW(std::rethrow_exception(outcome.failure), ProbeError) << c.what;
        }
    }
}

TEST(Preflight, RefusesWhatCannotGiveSoundFigures) {
    // A 12-bit converter on a 4.93 V reference, on a meter's 10 V range.
    const qd::measure::PreflightSetup setup{12, 4.93, 10};
    const struct {
        const char* what;
        std::vector<double> volts; // codes 0, 0800, 0FFF
        const char* says;          // "" when it may start
    } cases[] = {
        {"a sound output", {0.0005, 2.465, 4.928}, ""},
        {"a real part's gain error", {0.001, 2.47, 4.90}, ""},
        {"a meter on another output", {1.2, 1.2, 1.2001}, "the output is flat"},
        {"the leads the wrong way round", {0, -2.465, -4.928}, "the output falls"},
        {"a board on a 2.5 V reference", {0, 1.25, 2.4994}, "gain -49.3 %"},
        {"mid-scale off the line", {0, 0.3, 4.928}, "mid-scale is off the line"},
        {"a range too small", {0, 2.465, 11.0}, "beyond the meter's 10 V range"},
    };
    for (const auto& c : cases) {
        const auto problem = qd::measure::preflightProblem(c.volts, setup);
        if (*c.says == '\0') {
            EXPECT_FALSE(problem) << c.what << ": " << *problem;
        } else {
            ASSERT_TRUE(problem) << c.what;
            EXPECT_NE(problem->find(c.says), std::string::npos) << c.what << ": " << *problem;
        }
    }
}

// The self-test shared by qdctl selftest and *TST?, on every converter and
// against boards that fail it in different ways.

#include "FakeInstrumentBoard.h"
#include "measure/SelfTest.h"

#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

using namespace qd;
using namespace qd::control;

TEST(SelfTest, IdealBoardPassesOnEveryConverter) {
    for (const auto& device : kDevices) {
        ControlState state;
        state.applyStartupDefaults();
        state.selectDevice(device);
        FakeInstrumentBoard board(state);
        const auto report = measure::runSelfTest(state, board, board::kDefaultReferenceVolts);
        const std::string name(device.caption);
        EXPECT_TRUE(report.pass) << name;
        const std::int32_t mid = 1 << (device.resolution - 1);
        for (std::int16_t mode = 0; mode < 4; ++mode) {
            const auto& step = report.steps[static_cast<std::size_t>(mode)];
            const std::string what = name + " mode " + std::to_string(mode);
            // The frame as the layout has it: 12-bit codes left-justified in
            // 14 data bits, power-down bits right above the data.
            const std::int32_t frame = device.frameLength == 24
                                           ? mode << 16 | mid
                                           : mode << 14 | mid << (device.resolution == 12 ? 2 : 0);
            EXPECT_EQ(step.mode, mode) << what;
            EXPECT_EQ(step.frame, frame) << what;
            EXPECT_EQ(board.writes.at(static_cast<std::size_t>(mode)).frame, frame) << what;
            EXPECT_EQ(board.writes.at(static_cast<std::size_t>(mode)).mode, mode) << what;
            EXPECT_EQ(step.expected, mode == 0 ? 2048 : 0) << what;
            EXPECT_EQ(step.measured, step.expected) << what;
        }
    }
}

TEST(SelfTest, FaultyBoardsFailTheStepsTheyShouldFail) {
    struct Case {
        const char* name;
        std::function<void(FakeInstrumentBoard&)> fault;
        double referenceVolts;
        std::array<bool, 4> pass;
    };
    const std::vector<Case> cases = {
        {"off by the tolerance",
         [](auto& b) { b.offsetCounts = 2; },
         4.93,
         {true, true, true, true}},
        {"off by one count more",
         [](auto& b) { b.offsetCounts = 3; },
         4.93,
         {false, false, false, false}},
        {"reads low", [](auto& b) { b.offsetCounts = -3; }, 4.93, {false, true, true, true}},
        {"output driven in power-down",
         [](auto& b) { b.ignorePowerDown = true; },
         4.93,
         {true, false, false, false}},
        {"board built with another reference",
         [](auto& b) { b.referenceVolts = 2.5; },
         4.93,
         {false, true, true, true}},
        {"that reference expected",
         [](auto& b) { b.referenceVolts = 2.5; },
         2.5,
         {true, true, true, true}},
    };
    for (const Case& c : cases) {
        ControlState state;
        state.applyStartupDefaults();
        state.selectDevice(*findDevice("QD1600"));
        FakeInstrumentBoard board(state);
        c.fault(board);
        const auto report = measure::runSelfTest(state, board, c.referenceVolts);
        bool all = true;
        for (std::size_t mode = 0; mode < 4; ++mode) {
            EXPECT_EQ(report.steps[mode].pass, c.pass[mode]) << c.name << ", mode " << mode;
            all = all && c.pass[mode];
        }
        EXPECT_EQ(report.pass, all) << c.name;
    }
}

TEST(SelfTest, NeedsAConverterAndPassesBoardFailuresOn) {
    ControlState state;
    state.applyStartupDefaults();
    FakeInstrumentBoard board(state);
    EXPECT_THROW(measure::runSelfTest(state, board, 4.93), std::invalid_argument);
    EXPECT_TRUE(board.writes.empty());

    state.selectDevice(*findDevice("QD1200"));
    board.failReads = true;
    EXPECT_THROW(measure::runSelfTest(state, board, 4.93), serve::BoardError);
}

#pragma once

// The board's self-test, shared by `qdctl selftest` and the instrument's
// *TST?: mid-scale in each power mode, read back and compared with what an
// ideal board reads. Standard C++ only.

#include "control/ControlState.h"

#include <array>
#include <cstdint>

namespace qd::measure {

using control::Board;
using control::ControlState;

struct SelfTestStep {
    std::int16_t mode = 0;     // power mode, 0 to 3
    std::int32_t frame = 0;    // the frame written
    std::int32_t expected = 0; // measuring-converter counts of an ideal board
    std::int32_t measured = 0;
    bool pass = false;
};

struct SelfTestReport {
    std::array<SelfTestStep, 4> steps{}; // power modes 0 to 3, in order
    bool pass = false;                   // every step passed
};

inline constexpr int kSelfTestToleranceCounts = 2;

// For the converter chosen in state (std::invalid_argument when none is),
// writes mid-scale (1 << (Resolution - 1)) in power modes 0 to 3 through
// SendDacWord and reads each back through ReadVoltage. Normal operation
// expects the ideal reading of half the reference, the power-down modes 0
// counts; a step passes within toleranceCounts. Board failures propagate.
// Leaves state as the last step left it (three-state, mid-scale frame): a
// caller that wants its own settings back writes them again.
SelfTestReport runSelfTest(ControlState& state, Board& board, double referenceVolts,
                           double toleranceCounts = kSelfTestToleranceCounts);

} // namespace qd::measure

#include "measure/SelfTest.h"

#include "board/BoardFacts.h"
#include "control/DataWord.h"

#include <cstdlib>
#include <stdexcept>

namespace qd::measure {

using control::Board;
using control::ControlState;
using control::ReadVoltage;
using control::SendDacWord;

SelfTestReport runSelfTest(ControlState& state, Board& board, double referenceVolts,
                           double toleranceCounts) {
    const int bits = state.Resolution;
    if (bits != 12 && bits != 14 && bits != 16) {
        throw std::invalid_argument("no converter chosen");
    }
    const std::int32_t midScale = std::int32_t{1} << (bits - 1);
    SelfTestReport report;
    report.pass = true;
    for (std::int16_t mode = 0; mode < 4; ++mode) {
        SelfTestStep& step = report.steps[static_cast<std::size_t>(mode)];
        step.mode = mode;
        state.selectPowerMode(mode);
        state.DacWord = midScale;
        SendDacWord(state, board);
        step.frame = state.DacWord;
        ReadVoltage(state, board);
        step.measured = state.AdcReading;
        // Every power-down mode leaves the output at 0 V (three-state reads
        // as 0 on the board's measuring input).
        step.expected = mode == 0 ? board::idealReading(0.5, referenceVolts) : 0;
        step.pass = std::abs(step.measured - step.expected) <= toleranceCounts;
        report.pass = report.pass && step.pass;
    }
    return report;
}

} // namespace qd::measure

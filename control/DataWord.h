#pragma once

#include "control/ControlState.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qd::control {

// Composes the frame of the chosen device from DacWord and PowerMode, stores
// it back into DacWord and writes it to the board. A 16-bit frame with a
// resolution other than 12 or 14 bits sends nothing.
void SendDacWord(ControlState& state, Board& board);

// Reads typed text as a hexadecimal code of at most eight significant
// digits, either case; eight digits with the top bit set are negative.
// Anything else raises a run-time error (13, or 6 for too many digits).
std::int32_t parseHexCode(std::string_view text);

// Four or more upper-case hexadecimal digits, zero-padded.
std::string formatCode(std::int32_t code);

// The shortest text that reads back as exactly `value`, -0 as 0: what a
// script or a limit gets back is what was computed, never a rounding.
std::string formatNumber(double value);

struct ProgramOutcome {
    std::string text;    // what the data-word box shows afterwards
    bool failed = false; // the box is empty and must be given the input focus
};

// The data-word command's checks alone, touching no state and no board: the
// typed text (empty as 0000) read as hexadecimal and clamped to 0 through
// the largest code of `resolution` bits; nothing when the text is refused.
// qdctl checks a code here without a window or a board.
std::optional<std::int32_t> validateDataWord(std::string_view typed, int resolution);

// The data-word command: validateDataWord, then the code stored in DacWord
// and the composed frame sent. Every failure, from the text to the board
// write, ends silently in a failed outcome.
ProgramOutcome ProgramDac(std::string_view typed, ControlState& state, Board& board);

// Rounds to at most three decimals as the display shows them, independent of
// the user's locale.
float roundToMillivolts(double volts);

// Measures the output once: sets AdcReading and OutputVoltage and returns the
// value for the display.
double ReadVoltage(ControlState& state, Board& board);

} // namespace qd::control

namespace qd::control {

// Bit 7 - i of the result is bit i of b: the board sends each byte of a
// reading with its bit order reversed.
std::uint8_t ReverseBits(std::uint8_t b);

} // namespace qd::control

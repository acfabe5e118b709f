#include "control/DataWord.h"

#include "board/BoardFacts.h"
#include "control/Guarded.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace qd::control {

void SendDacWord(ControlState& state, Board& board) {
    // The sums are exact in double precision for every reachable word
    // (at most 0x3FFFF); the conversion back is still checked.
    if (state.FrameLength == 24) {
        state.DacWord = guardedFromDouble<std::int32_t>(65536.0 * state.PowerMode + state.DacWord);
    } else if (state.Resolution == 14) {
        state.DacWord = guardedFromDouble<std::int32_t>(16384.0 * state.PowerMode + state.DacWord);
    } else if (state.Resolution == 12) {
        // The 12-bit code is left-justified in the 14 data bits.
        const std::int32_t shifted = guardedMul32(4, state.DacWord);
        state.DacWord = guardedFromDouble<std::int32_t>(16384.0 * state.PowerMode + shifted);
    } else {
        return;
    }
    board.WriteShiftRegister(state.FrameLength, state.DacWord);
}

std::int32_t parseHexCode(std::string_view text) {
    if (text.empty()) {
        throw RuntimeError::typeMismatch();
    }
    std::uint32_t value = 0;
    int significant = 0;
    for (const char c : text) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            throw RuntimeError::typeMismatch();
        }
        if (significant > 0 || digit != 0) {
            // Keep scanning after too many digits only to prefer the
            // type mismatch of a bad character further on.
            if (++significant > 8) {
                continue;
            }
            value = (value << 4) | static_cast<std::uint32_t>(digit);
        }
    }
    if (significant > 8) {
        throw RuntimeError::overflow();
    }
    // Eight digits with the top bit set read as two's complement.
    return static_cast<std::int32_t>(value);
}

std::string formatNumber(double value) {
    char text[32];
    return {text, std::to_chars(text, text + sizeof text, value + 0.0).ptr};
}

std::string formatCode(std::int32_t code) {
    char digits[9] = {};
    const auto [end, ec] =
        std::to_chars(std::begin(digits), std::end(digits), static_cast<std::uint32_t>(code), 16);
    std::string text(std::begin(digits), end);
    for (char& c : text) {
        if (c >= 'a' && c <= 'f') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    if (text.size() < 4) {
        text.insert(0, 4 - text.size(), '0');
    }
    return text;
}

std::optional<std::int32_t> validateDataWord(std::string_view typed, int resolution) {
    try {
        const std::string_view text = typed.empty() ? std::string_view("0000") : typed;
        std::int32_t code = parseHexCode(text);
        const double largest = std::pow(2.0, resolution) - 1.0;
        if (code > largest) {
            code = guardedFromDouble<std::int32_t>(largest);
        }
        return code < 0 ? 0 : code;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

ProgramOutcome ProgramDac(std::string_view typed, ControlState& state, Board& board) {
    const std::optional<std::int32_t> code = validateDataWord(typed, state.Resolution);
    if (!code) {
        // The command recovers silently: the user sees the empty box and
        // types again.
        return {std::string(), true};
    }
    try {
        ProgramOutcome outcome{formatCode(*code), false};
        state.DacWord = *code;
        SendDacWord(state, board);
        return outcome;
    } catch (const std::exception&) {
        // A failed write is the same silent recovery.
        return {std::string(), true};
    }
}

float roundToMillivolts(double volts) {
    // to_chars rounds the exact binary value and never consults the locale,
    // so a decimal comma can never turn 2.465 into 2465.
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, volts, std::chars_format::fixed, 3);
    float rounded = 0.0f;
    if (ec == std::errc()) {
        std::from_chars(text, end, rounded);
    }
    return rounded;
}

double ReadVoltage(ControlState& state, Board& board) {
    const std::int32_t raw = board.ReadConverter();
    state.AdcReading = raw & 0xFFF;
    const double volts =
        state.AdcReading / static_cast<double>(board::kAdcCounts) * board::kAdcFullScaleVolts;
    state.OutputVoltage = roundToMillivolts(volts);
    return static_cast<double>(state.OutputVoltage);
}

} // namespace qd::control

namespace qd::control {

std::uint8_t ReverseBits(std::uint8_t b) {
    return board::reverseBits(b);
}

} // namespace qd::control

#pragma once

// What the evaluation board is, as every layer that talks to it or about it
// needs to know: its USB ids, its two vendor requests, the converters'
// frame layouts and the measuring converter's scale. Standard C++ only, so
// that the control logic, the link, our link libraries, qdctl and the tests
// all include the one definition. The udev rule is configured from the ids
// below by the build.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qd::board {

// USB ids the board enumerates with, once and after its firmware download.
inline constexpr std::uint16_t kVendorId = 0x2F1A;
inline constexpr std::uint16_t kProductId = 0x7C05;

// Write request: the frame in the value, frame length and power mode in the
// index, no data stage.
inline constexpr std::uint8_t kRequestWriteFrame = 221;
// Read request: two bytes of the measuring converter, high byte first, each
// with its bit order reversed.
inline constexpr std::uint8_t kRequestReadConverter = 218;
inline constexpr std::uint16_t kReadConverterLength = 2;

// The largest firmware image file read. The board has 16 KiB of RAM, whose
// image as text takes about 45 KB at 16 data bytes a record and under 256
// KiB even at one; anything far bigger cannot be an image for it and is
// refused before it is read.
inline constexpr std::size_t kMaxImageFileBytes = std::size_t{1} << 20;

// Frame layouts, most significant bit first: two power-down bits right
// above the data field. A 16-bit frame has a 14-bit data field (a 12-bit
// code arrives left-justified in it), a 24-bit frame a 16-bit one.
inline constexpr int kShortFrameBits = 16;
inline constexpr int kLongFrameBits = 24;

constexpr int frameDataBits(int frameLength) {
    return frameLength == kLongFrameBits ? 16 : frameLength == kShortFrameBits ? 14 : 0;
}

// The write request's index: frame length in the high byte, power mode in
// the low byte.
constexpr std::uint32_t writeIndex(int frameLength, int powerMode) {
    return static_cast<std::uint32_t>(frameLength) << 8 | static_cast<std::uint32_t>(powerMode);
}
constexpr int indexFrameLength(std::uint32_t index) {
    return static_cast<int>((index >> 8) & 0xFF);
}
constexpr int indexPowerMode(std::uint32_t index) {
    return static_cast<int>(index & 0xFF);
}

// The 12-bit measuring converter on the DAC output.
inline constexpr int kAdcCounts = 4096;
inline constexpr double kAdcFullScaleVolts = 4.93;
// The converter's reference: the board feeds the DAC and the measuring
// converter from the same 4.93 V unless a board is built otherwise.
inline constexpr double kDefaultReferenceVolts = kAdcFullScaleVolts;
// The references a board can be built with for its converter: none above
// the measuring converter's full scale, which would read the top of the
// output as 4095 counts, and none below 0.5 V, where the whole output
// would span fewer than 416 of its counts.
inline constexpr double kMinReferenceVolts = 0.5;
inline constexpr double kMaxReferenceVolts = kAdcFullScaleVolts;

// What an ideal measuring converter reads when the DAC drives `fraction` of
// its reference: scaled by the reference's ratio to full scale rather than
// dividing volts back down, so an ideal board reads every code exactly as
// predicted; floored, and capped at the top count.
inline int idealReading(double fraction, double referenceVolts) {
    const double counts = std::floor(fraction * (referenceVolts / kAdcFullScaleVolts) * kAdcCounts);
    return static_cast<int>(std::clamp(counts, 0.0, double{kAdcCounts - 1}));
}

// The output voltage a measuring-converter reading stands for.
inline double readingVolts(int counts) {
    return counts * kAdcFullScaleVolts / kAdcCounts;
}

// That voltage written out exactly, at full precision: 4.93 / 4096 ends
// after 14 decimals, so every reading does too. Trailing zeros go, one
// decimal stays: "0.0", "2.465", "4.92879638671875".
inline std::string readingVoltsText(int counts) {
    char text[32];
    const auto end =
        std::to_chars(text, text + sizeof text, readingVolts(counts), std::chars_format::fixed, 14)
            .ptr;
    std::string out(text, end);
    out.erase(std::max(out.find_last_not_of('0') + 1, out.find('.') + 2));
    return out;
}

// Bit 7 - i of the result is bit i of b: the board sends each reply byte
// with its bit order reversed, and this undoes (or, on the board, does) it.
constexpr std::uint8_t reverseBits(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & (1u << i)) {
            r = static_cast<std::uint8_t>(r | (0x80u >> i));
        }
    }
    return r;
}

} // namespace qd::board

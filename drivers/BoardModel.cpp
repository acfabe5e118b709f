#include "drivers/BoardModel.h"

#include <algorithm>
#include <cmath>

namespace qd::drivers {

namespace {
constexpr double kMeasuringFullScale = 4.93;
constexpr int kMeasuringCounts = 4096;
} // namespace

bool isSimulatedBoardFirmware(const HexImage& image) {
    if (image.segments.empty()) {
        return false;
    }
    const auto lowest = std::min_element(
        image.segments.begin(), image.segments.end(),
        [](const HexSegment& a, const HexSegment& b) { return a.address < b.address; });
    const auto& data = lowest->data;
    if (lowest->address != 0 || data.size() < kFirmwareMagic.size() + 2) {
        return false;
    }
    return std::equal(kFirmwareMagic.begin(), kFirmwareMagic.end(), data.begin()) &&
           data[kFirmwareMagic.size()] == kFirmwareMajor;
}

bool BoardModel::writeFrame(std::uint32_t value, std::uint32_t index) {
    const std::uint32_t frameLength = (index >> 8) & 0xFF;
    if (frameLength != 16 && frameLength != 24) {
        return false;
    }
    lastValue = value;
    lastIndex = index;
    written = true;
    return true;
}

double BoardModel::outputFraction() const {
    if (!written) {
        return 0.0;
    }
    const bool wide = ((lastIndex >> 8) & 0xFF) == 24;
    // 16-bit frames: two power-down bits over 14 data bits (a 12-bit code
    // arrives left-justified); 24-bit frames: two over 16.
    const int dataBits = wide ? 16 : 14;
    const std::uint32_t powerDown = (lastValue >> dataBits) & 3u;
    const std::uint32_t code = lastValue & ((1u << dataBits) - 1);
    if (powerDown != 0 && !faults.ignorePowerDown) {
        // 1k and 100k pull the output to ground; three-state floats and
        // the measuring converter's input bias reads it as 0 V.
        return 0.0;
    }
    return std::ldexp(static_cast<double>(code), -dataBits);
}

double BoardModel::outputVolts() const {
    return outputFraction() * referenceVolts;
}

std::uint16_t BoardModel::measure() const {
    // Scale by the reference's ratio to full scale rather than dividing
    // volts back down, so an ideal board reads every code exactly.
    const double counts =
        std::floor(outputFraction() * (referenceVolts / kMeasuringFullScale) * kMeasuringCounts);
    return static_cast<std::uint16_t>(std::clamp(counts, 0.0, double{kMeasuringCounts - 1}));
}

std::array<std::uint8_t, 2> BoardModel::readReply() const {
    const std::uint16_t reading = measure();
    return {reverseByte(static_cast<std::uint8_t>(reading >> 8)),
            reverseByte(static_cast<std::uint8_t>(reading & 0xFF))};
}

std::uint8_t reverseByte(std::uint8_t b) {
    std::uint8_t r = 0;
    for (int i = 0; i < 8; ++i) {
        if (b & (1u << i)) {
            r = static_cast<std::uint8_t>(r | (0x80u >> i));
        }
    }
    return r;
}

} // namespace qd::drivers

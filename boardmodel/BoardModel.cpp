#include "boardmodel/BoardModel.h"

#include <algorithm>
#include <cmath>

namespace qd::boardmodel {

bool BoardModel::writeFrame(std::uint32_t value, std::uint32_t index) {
    if (board::frameDataBits(board::indexFrameLength(index)) == 0) {
        return false;
    }
    lastValue = value;
    lastIndex = index;
    written = true;
    return true;
}

bool BoardModel::driven() const {
    if (!written) {
        return false;
    }
    const int dataBits = board::frameDataBits(board::indexFrameLength(lastIndex));
    // 1k and 100k pull the output to ground; three-state floats and the
    // measuring converter's input bias reads it as 0 V.
    return ((lastValue >> dataBits) & 3u) == 0 || faults.ignorePowerDown;
}

std::uint32_t BoardModel::field() const {
    const int dataBits = board::frameDataBits(board::indexFrameLength(lastIndex));
    return lastValue & ((1u << dataBits) - 1);
}

double BoardModel::outputFraction() const {
    if (!driven()) {
        return 0.0;
    }
    return std::ldexp(static_cast<double>(field()),
                      -board::frameDataBits(board::indexFrameLength(lastIndex)));
}

double BoardModel::outputVolts(std::uint64_t stream, std::uint64_t index) const {
    if (converter.ideal() || !driven()) {
        return outputFraction() * referenceVolts;
    }
    return converter.volts(field(), board::frameDataBits(board::indexFrameLength(lastIndex)),
                           referenceVolts, converter.noiseVolts(stream, index));
}

std::uint16_t BoardModel::measure(std::uint64_t index) const {
    if (converter.ideal()) {
        return static_cast<std::uint16_t>(board::idealReading(outputFraction(), referenceVolts));
    }
    const double volts = outputVolts(kBoardConverterStream, index);
    const double counts = std::floor(volts / board::kAdcFullScaleVolts * board::kAdcCounts);
    return static_cast<std::uint16_t>(std::clamp(counts, 0.0, double{board::kAdcCounts - 1}));
}

std::array<std::uint8_t, 2> BoardModel::readReply(std::uint64_t index) const {
    const std::uint16_t reading = measure(index);
    return {board::reverseBits(static_cast<std::uint8_t>(reading >> 8)),
            board::reverseBits(static_cast<std::uint8_t>(reading & 0xFF))};
}

} // namespace qd::boardmodel

#include "boardmodel/BoardModel.h"

#include <algorithm>
#include <cmath>

namespace qd::boardmodel {

bool BoardModel::writeFrame(std::uint32_t value, std::uint32_t index) {
    if (board::frameDataBits(board::indexFrameLength(index)) == 0) {
        return false;
    }
    previousValue = lastValue;
    previousIndex = lastIndex;
    previousWritten = written;
    lastValue = value;
    lastIndex = index;
    written = true;
    ++updates;
    return true;
}

int BoardModel::dataBitsOf(std::uint32_t index) {
    return board::frameDataBits(board::indexFrameLength(index));
}

std::uint32_t BoardModel::fieldOf(std::uint32_t value, std::uint32_t index) {
    return value & ((1u << dataBitsOf(index)) - 1);
}

bool BoardModel::drives(bool wasWritten, std::uint32_t value, std::uint32_t index) const {
    if (!wasWritten || dataBitsOf(index) == 0) {
        return false;
    }
    // 1k and 100k pull the output to ground; three-state floats and the
    // measuring converter's input bias reads it as 0 V.
    return ((value >> dataBitsOf(index)) & 3u) == 0 || faults.ignorePowerDown;
}

double BoardModel::quietVolts(bool wasWritten, std::uint32_t value, std::uint32_t index) const {
    if (!drives(wasWritten, value, index)) {
        return 0;
    }
    return converter.quietVolts(fieldOf(value, index), dataBitsOf(index), referenceVolts);
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

double BoardModel::stepBeforeLimits(double secondsAfterUpdate) const {
    const bool both = drives(previousWritten, previousValue, previousIndex) && driven();
    const bool carry = both && dataBitsOf(previousIndex) == dataBitsOf(lastIndex) &&
                       ConverterModel::majorCarry(fieldOf(previousValue, previousIndex), field(),
                                                  dataBitsOf(lastIndex));
    return converter.transitionVolts(quietVolts(previousWritten, previousValue, previousIndex),
                                     quietVolts(written, lastValue, lastIndex), carry,
                                     secondsAfterUpdate);
}

double BoardModel::quietStepVolts(double secondsAfterUpdate) const {
    return stepVolts(secondsAfterUpdate, 0, 0, false);
}

double BoardModel::stepVolts(double secondsAfterUpdate, std::uint64_t stream,
                             std::uint64_t index) const {
    return stepVolts(secondsAfterUpdate, stream, index, true);
}

double BoardModel::stepVolts(double secondsAfterUpdate, std::uint64_t stream, std::uint64_t index,
                             bool noisy) const {
    if (!driven() && secondsAfterUpdate >= 0) {
        return 0; // pulled down, or never driven
    }
    const double v = stepBeforeLimits(secondsAfterUpdate);
    if (converter.ideal()) {
        return v;
    }
    const double n = noisy ? converter.noiseVolts(stream, index) : 0.0;
    return std::clamp(v + n, std::min(converter.floor / 1000, referenceVolts), referenceVolts);
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

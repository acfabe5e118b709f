#include "link/CommsFunctions.h"

#include "control/DataWord.h"
#include "control/Guarded.h"

namespace qd::link {

using control::ReverseBits;

void CommsFunctions::WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) {
    std::int16_t index = control::guardedMul16(frameLength, 256);
    index = control::guardedAdd16(index, state_.PowerMode);
    std::uint8_t writeBuffer = 0;
    binding_.vendorRequest(kRequestWriteFrame, frame, index, 0, 0, &writeBuffer);
}

std::int32_t CommsFunctions::ReadConverter() {
    binding_.vendorRequest(kRequestReadConverter, 0, 0, 1, board::kReadConverterLength,
                           ReplyBuffer.data());
    return ReverseBits(ReplyBuffer[0]) * 256 + ReverseBits(ReplyBuffer[1]);
}

} // namespace qd::link

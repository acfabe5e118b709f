#pragma once

#include "control/ControlState.h"
#include "link/Binding.h"

#include <array>
#include <cstdint>

namespace qd::link {

using control::Board;
using control::ControlState;

using board::kRequestReadConverter;
using board::kRequestWriteFrame;

// The two board commands over the program's link binding.
class CommsFunctions final : public Board {
  public:
    CommsFunctions(LinkBinding& binding, const ControlState& state)
        : binding_(binding), state_(state) {}

    // Request 221: the frame as the value, frame length and power mode in the
    // index. The library's result is not looked at.
    void WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) override;

    // Request 218: two bytes, high byte first, each bit-reversed. Bytes the
    // library leaves unfilled keep the previous reply.
    std::int32_t ReadConverter() override;

    // Never cleared: a read the library does not fill repeats the last one.
    std::array<std::uint8_t, 4> ReplyBuffer{};

  private:
    LinkBinding& binding_;
    const ControlState& state_;
};

} // namespace qd::link

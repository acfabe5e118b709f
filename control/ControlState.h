#pragma once

#include "control/Tables.h"

#include <cstdint>

namespace qd::control {

// The values through which the windows, the data-word command, the frame
// composition, the readback and the board commands meet. One instance lives
// for the whole run of a program; tests make their own.
struct ControlState {
    std::int16_t FrameLength = 0;
    std::int16_t Resolution = 0;
    std::int16_t PowerMode = 0;
    std::int32_t DacWord = 0;
    std::int32_t AdcReading = 0;
    float OutputVoltage = 0.0f;

    // Set once the Device Selection window is up; Resolution stays 0 until a
    // device is clicked, so nothing can be programmed before that.
    void applyStartupDefaults() {
        PowerMode = 0;
        DacWord = 0;
        FrameLength = 24;
    }

    void selectDevice(const DeviceProfile& device) {
        FrameLength = device.frameLength;
        Resolution = device.resolution;
    }

    void selectPowerMode(std::int16_t mode) { PowerMode = mode; }
};

// The board as the control logic sees it. The link implements it with the
// outside link library; tests implement it with a recorder.
class Board {
  public:
    virtual ~Board() = default;
    // Sends one composed frame; the power mode is read from the control state
    // by the implementation at the time of the call.
    virtual void WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) = 0;
    // The measuring converter's raw 16-bit value, 0 to 65535.
    virtual std::int32_t ReadConverter() = 0;
};

} // namespace qd::control

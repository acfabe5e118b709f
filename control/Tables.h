#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace qd::control {

struct DeviceProfile {
    std::string_view caption;
    std::int16_t frameLength; // serial frame length in bits
    std::int16_t resolution;  // data code width in bits
};

// In the order the Device Selection window lists them. QD1600 and QD1610
// are the same converter as far as the program is concerned.
inline constexpr std::array<DeviceProfile, 4> kDevices{{
    {"QD1200", 16, 12},
    {"QD1400", 16, 14},
    {"QD1600", 24, 16},
    {"QD1610", 24, 16},
}};

struct PowerModeInfo {
    std::int16_t mode; // the two power-down bits of the frame
    std::string_view caption;
};

inline constexpr std::array<PowerModeInfo, 4> kPowerModes{{
    {0, "Normal Operation"},
    {1, "Power Down - 1K to Gnd"},
    {2, "Power Down - 100 K to Gnd"},
    {3, "Power Down - Three State"},
}};

// Device row by caption; nullptr when there is none.
constexpr const DeviceProfile* findDevice(std::string_view caption) {
    for (const auto& device : kDevices) {
        if (device.caption == caption) {
            return &device;
        }
    }
    return nullptr;
}

} // namespace qd::control

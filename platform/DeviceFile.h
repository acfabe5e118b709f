#pragma once

// A device file a driver offers (a USBTMC meter's, on Linux), written whole
// and read as the driver gives bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qd::platform {

using DeviceHandle = std::intptr_t;
inline constexpr DeviceHandle kNoDevice = -1;

// Whether this system's drivers offer devices as files at all.
bool hasDeviceFiles();

// Opens one to read and write; kNoDevice when it cannot, lastErrorText()
// and deviceAccessDenied() then saying why.
DeviceHandle openDevice(const std::string& path);
bool deviceAccessDenied();

// Writes a first part of `bytes`: how many went, 0 when a signal came
// before any did, -1 when the device failed.
long writeDevice(DeviceHandle device, std::string_view bytes);

// Reads what the driver gives, waiting as long as the driver does: how many
// bytes, 0 at the end, -1 when the device failed, kNothingRead when the
// driver gave up waiting or a signal came.
inline constexpr long kNothingRead = -2;
long readDevice(DeviceHandle device, char* into, std::size_t size);

void closeDevice(DeviceHandle device);

} // namespace qd::platform

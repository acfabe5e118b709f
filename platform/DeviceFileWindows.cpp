// Windows offers a USB device through its driver's own interface, not as a
// file to read and write: none of these is reached.

#include "platform/DeviceFile.h"
#include "platform/Win32.h"

namespace qd::platform {

bool hasDeviceFiles() {
    return false;
}

DeviceHandle openDevice(const std::string&) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return kNoDevice;
}

bool deviceAccessDenied() {
    return false;
}

long writeDevice(DeviceHandle, std::string_view) {
    return -1;
}

long readDevice(DeviceHandle, char*, std::size_t) {
    return -1;
}

void closeDevice(DeviceHandle) {}

} // namespace qd::platform

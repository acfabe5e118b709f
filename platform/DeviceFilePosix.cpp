#include "platform/DeviceFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace qd::platform {

bool hasDeviceFiles() {
    return true;
}

DeviceHandle openDevice(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    return fd < 0 ? kNoDevice : fd;
}

bool deviceAccessDenied() {
    return errno == EACCES;
}

long writeDevice(DeviceHandle device, std::string_view bytes) {
    const ssize_t n = ::write(static_cast<int>(device), bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) {
        return 0;
    }
    return n <= 0 ? -1 : static_cast<long>(n);
}

long readDevice(DeviceHandle device, char* into, std::size_t size) {
    const ssize_t n = ::read(static_cast<int>(device), into, size);
    // A USBTMC driver gives up with ETIMEDOUT when the meter has no answer.
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == ETIMEDOUT)) {
        return kNothingRead;
    }
    return static_cast<long>(n);
}

void closeDevice(DeviceHandle device) {
    ::close(static_cast<int>(device));
}

} // namespace qd::platform

#include "platform/Error.h"

#include <cerrno>
#include <cstring>

namespace qd::platform {

std::string lastErrorText() {
    return errorText(errno);
}

std::string errorText(long code) {
    return std::strerror(static_cast<int>(code));
}

} // namespace qd::platform

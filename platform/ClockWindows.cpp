#include "platform/Clock.h"

#include <cstdint>
#include <windows.h>

namespace qd::platform {

// The tick count is kept in memory the system shares with every process.
std::chrono::nanoseconds coarseClock() {
    return std::chrono::milliseconds(static_cast<std::int64_t>(::GetTickCount64()));
}

} // namespace qd::platform

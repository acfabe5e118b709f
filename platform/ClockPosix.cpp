#include "platform/Clock.h"

#include <ctime>

namespace qd::platform {

std::chrono::nanoseconds coarseClock() {
    // CLOCK_MONOTONIC_COARSE is the time of the last tick, kept in memory the
    // kernel shares with the process; the steady clock reads the processor's
    // counter on top, which costs more than a whole request on a virtual
    // machine.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

} // namespace qd::platform

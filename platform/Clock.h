#pragma once

// A clock for spacing checks that run often (each request of the simulated
// board), read without a system call and cheaper than the steady clock: it
// moves by the system's tick. Monotonic.

#include <chrono>

namespace qd::platform {

std::chrono::nanoseconds coarseClock();

} // namespace qd::platform

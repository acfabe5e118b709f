#include "platform/Lock.h"

#include <algorithm>
#include <thread>

namespace qd::platform {

LockAttempt lockWithin(FileHandle file, std::chrono::milliseconds wait, std::string& why) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + wait;
    for (;;) {
        if (const LockAttempt attempt = tryLock(file, why); attempt != LockAttempt::Held) {
            return attempt;
        }
        const auto now = steady_clock::now();
        if (now >= deadline) {
            return LockAttempt::Held;
        }
        std::this_thread::sleep_for(std::min<steady_clock::duration>(20ms, deadline - now));
    }
}

} // namespace qd::platform

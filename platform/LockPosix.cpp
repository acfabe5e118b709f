#include "platform/Error.h"
#include "platform/Lock.h"

#include <cerrno>
#include <sys/file.h>

namespace qd::platform {

LockAttempt tryLock(FileHandle file, std::string& why) {
    for (;;) {
        if (::flock(static_cast<int>(file), LOCK_EX | LOCK_NB) == 0) {
            return LockAttempt::Taken;
        }
        if (errno == EWOULDBLOCK) {
            return LockAttempt::Held;
        }
        if (errno != EINTR) {
            why = lastErrorText();
            return LockAttempt::Failed;
        }
    }
}

void unlock(FileHandle file) {
    ::flock(static_cast<int>(file), LOCK_UN);
}

} // namespace qd::platform

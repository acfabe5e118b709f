#include "platform/Error.h"
#include "platform/Lock.h"

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

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

int lockHolder(FileHandle file) {
    struct stat st {};
    if (::fstat(static_cast<int>(file), &st) != 0) {
        return 0;
    }
    char locked[64];
    std::snprintf(locked, sizeof locked, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        // "3: FLOCK  ADVISORY  WRITE 14288 fe:00:10952928 0 EOF"; waiters
        // have "->" after the number.
        std::istringstream fields(line);
        std::string number, type, mode, access, device;
        int pid = 0;
        fields >> number >> type;
        if (type == "->") {
            continue;
        }
        if (fields >> mode >> access >> pid >> device && type == "FLOCK" && device == locked) {
            return pid;
        }
    }
    return 0;
}

} // namespace qd::platform

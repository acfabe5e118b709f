#include "platform/Error.h"
#include "platform/Lock.h"
#include "platform/Win32.h"

namespace qd::platform {

namespace {

// A lock on Windows keeps everyone else from reading the bytes it covers,
// and a locked file must stay readable to whoever only looks at it. So the
// lock covers one byte far past anything a file of ours holds.
OVERLAPPED lockedByte() {
    OVERLAPPED at{};
    at.OffsetHigh = 1;
    return at;
}

} // namespace

LockAttempt tryLock(FileHandle file, std::string& why) {
    OVERLAPPED at = lockedByte();
    if (::LockFileEx(reinterpret_cast<HANDLE>(file),
                     LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        return LockAttempt::Taken;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) {
        return LockAttempt::Held;
    }
    why = errorText(static_cast<long>(error));
    return LockAttempt::Failed;
}

void unlock(FileHandle file) {
    OVERLAPPED at = lockedByte();
    ::UnlockFileEx(reinterpret_cast<HANDLE>(file), 0, 1, 0, &at);
}

int lockHolder(FileHandle) {
    return 0;
}

} // namespace qd::platform

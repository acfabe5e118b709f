#pragma once

// Exclusive advisory locks on whole files, as two processes claim one thing.

#include "platform/File.h"

#include <chrono>
#include <string>

namespace qd::platform {

enum class LockAttempt {
    Taken,  // the lock is this file handle's until unlock or close
    Held,   // another holds it
    Failed, // the system refused, with the reason in `why`
};

// One try, without waiting.
LockAttempt tryLock(FileHandle file, std::string& why);

// Tries until `wait` has passed, polling rather than blocking, so that a
// holder that is stopped (or a `flock` command holding the file) cannot
// hang anyone.
LockAttempt lockWithin(FileHandle file, std::chrono::milliseconds wait, std::string& why);

// Closing the file lets go of the lock as well.
void unlock(FileHandle file);

// The process that holds the lock on `file`, as the system tells; 0 when it
// cannot be told, as on Windows, which does not.
int lockHolder(FileHandle file);

} // namespace qd::platform

#pragma once

// The state file as each system keeps it, in SimStatePosix.cpp and
// SimStateWindows.cpp: what its path, its folder and the open file may be,
// and what becomes of it while claimed. Claiming the board and looking at
// it are written once, over these, in SimState.cpp.

#include "drivers/SimState.h"
#include "platform/File.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace qd::drivers {

// The claimed file, open (and, once claimed, locked) for as long as this
// lives.
struct SimClaim::Hold {
    // `path` opened as the state file: to read it, or to claim it (made if
    // missing). Not valid, with the reason in `why`, when it cannot be.
    Hold(const std::string& path, qd::platform::Access access, std::string& why);
    // Closing the file lets go of the lock.
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    bool valid() const { return file != qd::platform::kNoFile; }
    // Why the open file must not be used, or "", with its size as it is now.
    std::string problem(unsigned long long& size);
    // The process that holds the lock on the file as the system tells; 0
    // when it cannot be told.
    int lockHolder() const;

    qd::platform::FileHandle file;
    // Where the system can tell what becomes of the file's path (POSIX):
    // the file as it was when last looked at. Whatever else the path names
    // later is another file.
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t changedSeconds = 0;
    std::int64_t changedNanoseconds = 0;
};

// What a look at a path found before anything there is opened.
struct PathLook {
    enum Kind {
        Missing,
        Fine,
        Refused,   // `problem` says why it must not be used
        LookFailed // the look itself failed, as `problem` says
    } kind = Missing;
    std::string problem;
};

// The private folder that holds the state file, and the state file's path.
PathLook lookAtFolder(const std::string& folder);
PathLook lookAtFile(const std::string& path);
// Makes the private folder if it is missing; why it must not be used, or "".
std::string makePrivateFolder(const std::string& folder);
// Why the state file could not be opened, from the last failure.
std::string whyNotOpened(qd::platform::Access access);

// A clock for spacing the looks at the claimed file, read without a system
// call and cheaper than the steady clock: it moves by the system's tick.
std::chrono::nanoseconds coarseClock();

// Keeps a mapped record that its file is cut short under from ending the
// process, where the system would (POSIX), and lets go of it again.
void guardRecord(const SimRecord* record);
void unguardRecord(const SimRecord* record);

} // namespace qd::drivers

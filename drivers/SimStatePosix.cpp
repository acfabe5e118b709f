// The simulated board's state file on POSIX systems: owned by the user and
// written by no one else, its path watched while it is claimed, and a cut
// under a mapped record kept from ending the process.

#include "drivers/SimState.h"
#include "drivers/SimStateFile.h"
#include "platform/Error.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace qd::drivers {

namespace {

std::string systemError(const char* what) {
    return std::string(what) + ": " + qd::platform::lastErrorText();
}

const char* kindOf(mode_t mode) {
    if (S_ISLNK(mode)) {
        return "it is a symbolic link";
    }
    if (S_ISDIR(mode)) {
        return "it is a folder, not a regular file";
    }
    if (S_ISFIFO(mode)) {
        return "it is a FIFO, not a regular file";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "it is a device, not a regular file";
    }
    if (S_ISSOCK(mode)) {
        return "it is a socket, not a regular file";
    }
    return "it is not a regular file";
}

std::string notOurs(const struct stat& st) {
    return "it belongs to user " + std::to_string(st.st_uid) + ", not to user " +
           std::to_string(::geteuid());
}

std::string modeOf(const struct stat& st) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return mode;
}

// Why the private folder must not hold the state, or "" when it may.
std::string folderProblem(const struct stat& st) {
    if (!S_ISDIR(st.st_mode)) {
        return S_ISLNK(st.st_mode) ? "it is a symbolic link" : "it is not a folder";
    }
    if (st.st_uid != ::geteuid()) {
        return notOurs(st);
    }
    if ((st.st_mode & 077) != 0) {
        return "others may use it (mode " + modeOf(st) + ")";
    }
    return "";
}

// Why a state file that was opened must not be used, or "". One that others
// may write is as good as theirs: they could make the board say anything.
std::string fileProblem(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) {
        return kindOf(st.st_mode);
    }
    if (st.st_uid != ::geteuid()) {
        return notOurs(st);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "others may write it (mode " + modeOf(st) + ")";
    }
    return sizeProblem(static_cast<unsigned long long>(st.st_size));
}

// The process that holds the flock on the file, as the kernel lists it;
// 0 when it cannot be told.
int flockHolder(dev_t deviceNumber, std::uint64_t inode) {
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(deviceNumber), minor(deviceNumber),
                  static_cast<unsigned long long>(inode));
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
        if (fields >> mode >> access >> pid >> device && type == "FLOCK" && device == file) {
            return pid;
        }
    }
    return 0;
}

// A record whose file another process cuts short would end this process
// with SIGBUS at its next touch, the check of the record before each request
// included. So a bus error inside a claimed record's page puts a page of
// zeros in its place, which the request goes on with: a record that is no
// board record, which that check finds (at once, or at the next request if
// the file was cut under one already under way), and only then is the file
// looked at. Any other bus error goes where it went before. mmap is
// not on POSIX's list of async-signal-safe functions, but it is a plain
// system call on the systems this file is built for.
// Every board one process may claim (QD_BOARD_COUNT is 64 at most), and the
// file put in the place of one while it is claimed: the check touches the
// record before anything looks at the file, so an unguarded one would end
// the process.
constexpr int kGuardedRecords = 65;
std::atomic<std::uintptr_t> guardedPages[kGuardedRecords];
std::uintptr_t pageSize = 0;
struct sigaction earlierBusHandler {};

extern "C" void onBusError(int signal, siginfo_t* info, void* context) {
    const auto page = reinterpret_cast<std::uintptr_t>(info->si_addr) & ~(pageSize - 1);
    for (const auto& guarded : guardedPages) {
        if (page != 0 && guarded.load() == page &&
            ::mmap(reinterpret_cast<void*>(page), pageSize, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) != MAP_FAILED) {
            return;
        }
    }
    if ((earlierBusHandler.sa_flags & SA_SIGINFO) != 0) {
        earlierBusHandler.sa_sigaction(signal, info, context);
    } else if (earlierBusHandler.sa_handler != SIG_DFL && earlierBusHandler.sa_handler != SIG_IGN) {
        earlierBusHandler.sa_handler(signal);
    } else {
        // Returning runs the faulting instruction again, which now ends the
        // process as it would have without this handler.
        ::signal(SIGBUS, SIG_DFL);
    }
}

} // namespace

PathLook lookAtFolder(const std::string& folder) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        return errno == ENOENT ? PathLook{}
                               : PathLook{PathLook::LookFailed, systemError("cannot look at it")};
    }
    const auto problem = folderProblem(st);
    return {problem.empty() ? PathLook::Fine : PathLook::Refused, problem};
}

PathLook lookAtFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? PathLook{}
                               : PathLook{PathLook::LookFailed, systemError("cannot look at it")};
    }
    if (!S_ISREG(st.st_mode)) {
        return {PathLook::Refused, kindOf(st.st_mode)};
    }
    return {PathLook::Fine, ""};
}

// Makes the private folder if it is missing; why it must not be used, or "".
std::string makePrivateFolder(const std::string& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return systemError("cannot make it");
    }
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        return systemError("cannot look at it");
    }
    return folderProblem(st);
}

std::string whyNotOpened(qd::platform::Access access) {
    if (access == qd::platform::Access::Read) {
        return systemError("cannot read it");
    }
    return errno == ELOOP ? kindOf(S_IFLNK) : systemError("cannot open it");
}

void guardRecord(const SimRecord* record) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        pageSize = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        struct sigaction action {};
        action.sa_sigaction = onBusError;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGBUS, &action, &earlierBusHandler);
    });
    for (auto& guarded : guardedPages) {
        std::uintptr_t none = 0;
        if (guarded.compare_exchange_strong(none, reinterpret_cast<std::uintptr_t>(record))) {
            return;
        }
    }
}

void unguardRecord(const SimRecord* record) {
    for (auto& guarded : guardedPages) {
        std::uintptr_t page = reinterpret_cast<std::uintptr_t>(record);
        guarded.compare_exchange_strong(page, 0);
    }
}

std::chrono::nanoseconds coarseClock() {
    // CLOCK_MONOTONIC_COARSE is the time of the last tick, kept in memory the
    // kernel shares with the process; the steady clock reads the processor's
    // counter on top, which costs more than a whole request on a virtual
    // machine.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

std::string SimClaim::Hold::problem(unsigned long long& size) {
    struct stat st {};
    if (::fstat(static_cast<int>(file), &st) != 0) {
        return systemError("cannot look at it");
    }
    device = st.st_dev;
    inode = st.st_ino;
    changedSeconds = st.st_ctim.tv_sec;
    changedNanoseconds = st.st_ctim.tv_nsec;
    size = static_cast<unsigned long long>(st.st_size);
    return fileProblem(st);
}

int SimClaim::Hold::lockHolder() const {
    return flockHolder(static_cast<dev_t>(device), inode);
}

SimClaim::Look SimClaim::look() {
    // One look at the open file. A file put in its place leaves it without a
    // name; a file moved away, or anything else done to it, changes its
    // status change time, and only then is its path looked at too (its own
    // entry, not where a link put in its place leads: that is another file).
    const int fd = static_cast<int>(hold_->file);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return Look::Intact;
    }
    if (st.st_nlink == 0) {
        return Look::Replaced;
    }
    if (st.st_ctim.tv_sec != hold_->changedSeconds ||
        st.st_ctim.tv_nsec != hold_->changedNanoseconds) {
        struct stat at {};
        if (::lstat(config_.statePath.c_str(), &at) != 0 || at.st_dev != hold_->device ||
            at.st_ino != hold_->inode) {
            return Look::Replaced;
        }
        hold_->changedSeconds = st.st_ctim.tv_sec;
        hold_->changedNanoseconds = st.st_ctim.tv_nsec;
    }
    return st.st_size < static_cast<off_t>(sizeof(SimRecord)) ? Look::CutShort : Look::Intact;
}

bool SimClaim::restore() {
    const int fd = static_cast<int>(hold_->file);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof(SimRecord)) &&
                                  ::ftruncate(fd, sizeof(SimRecord)) != 0)) {
        return false;
    }
    // The file again where a page of zeros may have taken its place.
    return ::mmap(record_, sizeof(SimRecord), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                  0) != MAP_FAILED;
}

} // namespace qd::drivers

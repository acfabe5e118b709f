// The simulated board's state on POSIX systems: a flock on the state file
// claims the board, and mmap maps its record.

#include "drivers/SimState.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace qd::drivers {

namespace {

using namespace std::chrono;
using namespace simstate;

std::string systemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
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

// Whether the state file just opened (or just locked) may be used, with
// its status as it is now in st.
LinkResult checkOpened(int fd, const std::string& path, struct stat& st) {
    if (::fstat(fd, &st) != 0) {
        return refuse("state file", path, systemError("cannot look at it"));
    }
    if (const auto problem = fileProblem(st); !problem.empty()) {
        return refuse("state file", path, problem);
    }
    return {};
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// Takes the lock, polling until the deadline so that a holder that is
// stopped (or a `flock` command holding the file) cannot hang anyone: 0, or
// EWOULDBLOCK when still held, or another errno.
int lockWithin(int fd, milliseconds wait) {
    const auto deadline = steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return errno;
        }
        const auto now = steady_clock::now();
        if (now >= deadline) {
            return EWOULDBLOCK;
        }
        std::this_thread::sleep_for(std::min<steady_clock::duration>(20ms, deadline - now));
    }
}

// The process that holds the flock on the file, as the kernel lists it;
// 0 when it cannot be told.
int lockHolder(const struct stat& st) {
    char file[64];
    std::snprintf(file, sizeof file, "%02x:%02x:%llu", major(st.st_dev), minor(st.st_dev),
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
        if (fields >> mode >> access >> pid >> device && type == "FLOCK" && device == file) {
            return pid;
        }
    }
    return 0;
}

// The kernel's word first, since whoever holds the lock may not have written
// the record (a `flock` command, say).
std::string holderOf(int fd, const struct stat& st) {
    SimRecord r;
    const bool haveRecord =
        ::pread(fd, &r, sizeof r, 0) == static_cast<ssize_t>(sizeof r) && recordProblem(r).empty();
    int pid = lockHolder(st);
    if (pid <= 0 && haveRecord) {
        pid = r.holderPid;
    }
    return describeHolder(pid, haveRecord ? &r : nullptr);
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

// A record whose file another process cuts short while a request is under
// way would end this process with SIGBUS at its next touch: the look before
// each request cannot close that window. So a bus error inside a claimed
// record's page puts a page of zeros in its place, which the request goes on
// with (a record that is no board record: the next request's look finds the
// loss of power), and any other bus error goes where it went before. mmap is
// not on POSIX's list of async-signal-safe functions, but it is a plain
// system call on the systems this file is built for.
constexpr int kGuardedRecords = 8;
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

void guard(const void* record) {
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

void unguard(const void* record) {
    for (auto& guarded : guardedPages) {
        std::uintptr_t page = reinterpret_cast<std::uintptr_t>(record);
        guarded.compare_exchange_strong(page, 0);
    }
}

} // namespace

struct SimClaim::Hold {
    Hold(int descriptor, const struct stat& st)
        : fd(descriptor), device(st.st_dev), inode(st.st_ino), changed(st.st_ctim) {}
    // Closing the file lets go of the lock.
    ~Hold() { ::close(fd); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    int fd;
    // The file claimed: whatever else the path names later is another one.
    dev_t device;
    ino_t inode;
    // Its status change time when its path was last looked at.
    struct timespec changed;
};

SimStateView peekSimState(const SimConfig& config) {
    SimStateView view;
    struct stat st {};
    if (!config.privateFolder.empty()) {
        if (::lstat(config.privateFolder.c_str(), &st) != 0) {
            if (errno != ENOENT) {
                view.result =
                    refusal("state folder", config.privateFolder, systemError("cannot look at it"));
            }
            return view;
        }
        if (const auto problem = folderProblem(st); !problem.empty()) {
            view.result = refusal("state folder", config.privateFolder, problem);
            return view;
        }
    }
    const std::string& path = config.statePath;
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            view.result = refusal("state file", path, systemError("cannot look at it"));
        }
        return view;
    }
    if (!S_ISREG(st.st_mode)) {
        view.result = refusal("state file", path, kindOf(st.st_mode));
        return view;
    }
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) {
        view.result = refusal("state file", path, systemError("cannot read it"));
        return view;
    }
    if (const auto problem = fileProblem(st); !problem.empty()) {
        view.result = refusal("state file", path, problem);
        return view;
    }
    if (st.st_size == 0) {
        return view;
    }
    SimRecord r;
    return viewOfRead(::pread(fd.get(), &r, sizeof r, 0) == static_cast<ssize_t>(sizeof r), r,
                      path);
}

std::unique_ptr<SimClaim> SimClaim::take(const SimConfig& config, LinkResult& why) {
    if (!config.privateFolder.empty()) {
        if (const auto problem = makePrivateFolder(config.privateFolder); !problem.empty()) {
            why = refuse("state folder", config.privateFolder, problem);
            return nullptr;
        }
    }
    const std::string& path = config.statePath;
    // Looked at before it is opened, so that a device named by mistake is
    // never opened; what was opened is checked again below.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        why = refuse("state file", path, kindOf(st.st_mode));
        return nullptr;
    }
    FileDescriptor fd(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
    if (fd.get() < 0) {
        why = refuse("state file", path,
                     errno == ELOOP ? kindOf(S_IFLNK) : systemError("cannot open it"));
        return nullptr;
    }
    if (!(why = checkOpened(fd.get(), path, st))) {
        return nullptr;
    }
    if (const int error = lockWithin(fd.get(), config.claimWait); error == EWOULDBLOCK) {
        why = fail(LinkStatus::Busy, kLibrary, "open",
                   "board busy: held by " + holderOf(fd.get(), st));
        return nullptr;
    } else if (error != 0) {
        errno = error;
        why = refuse("state file", path, systemError("cannot lock it"));
        return nullptr;
    }
    // Whoever held it before may have just made the record.
    if (!(why = checkOpened(fd.get(), path, st))) {
        return nullptr;
    }
    if (st.st_size == 0) {
        // A board just powered up.
        const SimRecord fresh;
        if (::pwrite(fd.get(), &fresh, sizeof fresh, 0) != static_cast<ssize_t>(sizeof fresh)) {
            why = refuse("state file", path, systemError("cannot write it"));
            return nullptr;
        }
    }
    void* mapped =
        ::mmap(nullptr, sizeof(SimRecord), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    if (mapped == MAP_FAILED) {
        why = refuse("state file", path, systemError("cannot map it"));
        return nullptr;
    }
    auto* record = static_cast<SimRecord*>(mapped);
    guard(record);
    if (const auto problem = recordProblem(*record); !problem.empty()) {
        unguard(record);
        ::munmap(mapped, sizeof(SimRecord));
        why = refuse("state file", path, problem);
        return nullptr;
    }
    markHeld(*record);
    return std::unique_ptr<SimClaim>(
        new SimClaim(std::make_unique<Hold>(fd.release(), st), record, config));
}

SimClaim::SimClaim(std::unique_ptr<Hold> hold, SimRecord* record, const SimConfig& config)
    : hold_(std::move(hold)), record_(record), config_(config), converter_(record->model),
      fitted_(record->modelFitted != 0) {}

SimClaim::Look SimClaim::look() {
    // One look at the open file. A file put in its place leaves it without a
    // name; a file moved away, or anything else done to it, changes its
    // status change time, and only then is its path looked at too (its own
    // entry, not where a link put in its place leads: that is another file).
    struct stat st {};
    if (::fstat(hold_->fd, &st) != 0) {
        return Look::Intact;
    }
    if (st.st_nlink == 0) {
        return Look::Replaced;
    }
    if (st.st_ctim.tv_sec != hold_->changed.tv_sec ||
        st.st_ctim.tv_nsec != hold_->changed.tv_nsec) {
        struct stat at {};
        if (::lstat(config_.statePath.c_str(), &at) != 0 || at.st_dev != hold_->device ||
            at.st_ino != hold_->inode) {
            return Look::Replaced;
        }
        hold_->changed = st.st_ctim;
    }
    return st.st_size < static_cast<off_t>(sizeof(SimRecord)) ? Look::CutShort : Look::Intact;
}

bool SimClaim::restore() {
    struct stat st {};
    if (::fstat(hold_->fd, &st) != 0 || (st.st_size < static_cast<off_t>(sizeof(SimRecord)) &&
                                         ::ftruncate(hold_->fd, sizeof(SimRecord)) != 0)) {
        return false;
    }
    // The file again where a page of zeros may have taken its place.
    return ::mmap(record_, sizeof(SimRecord), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
                  hold_->fd, 0) != MAP_FAILED;
}

SimClaim::~SimClaim() {
    if (recordProblem(*record_).empty()) {
        markFree(*record_);
    }
    unguard(record_);
    ::munmap(record_, sizeof(SimRecord));
}

} // namespace qd::drivers

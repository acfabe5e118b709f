#include "platform/Error.h"
#include "platform/MappedRecord.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::platform {

void* mapRecord(FileHandle file, std::size_t size, std::string& why) {
    void* mapped =
        ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, static_cast<int>(file), 0);
    if (mapped == MAP_FAILED) {
        why = lastErrorText();
        return nullptr;
    }
    return mapped;
}

void unmapRecord(void* record, std::size_t size) {
    ::munmap(record, size);
}

namespace {

// A record whose file another process cuts short would end this process
// with SIGBUS at its next touch, its user's check of the record included.
// So a bus error inside a guarded record's page puts a page of zeros in its
// place, which the process goes on with: a record that its check finds
// wrong (at once, or at the next use if the file was cut under one already
// under way), and only then is the file looked at. Any other bus error goes
// where it went before. mmap is not on POSIX's list of async-signal-safe
// functions, but it is a plain system call on the systems this file is
// built for.
// Every simulated board one process may claim (QD_BOARD_COUNT is 64 at
// most), and the file put in the place of one while it is claimed: the
// check touches the record before anything looks at the file, so an
// unguarded one would end the process.
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

void guardRecord(const void* record) {
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

void unguardRecord(const void* record) {
    for (auto& guarded : guardedPages) {
        std::uintptr_t page = reinterpret_cast<std::uintptr_t>(record);
        guarded.compare_exchange_strong(page, 0);
    }
}

bool remapRecord(FileHandle file, void* record, std::size_t size) {
    const int fd = static_cast<int>(file);
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        (st.st_size < static_cast<off_t>(size) && ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
        return false;
    }
    return ::mmap(record, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) !=
           MAP_FAILED;
}

} // namespace qd::platform

// The simulated board's state on Windows: its record in a file of a private
// folder under %LOCALAPPDATA%, claimed with LockFileEx and mapped with
// CreateFileMapping for as long as the board is claimed.

#include "drivers/Platform.h"
#include "drivers/PlatformWindows.h"
#include "drivers/SimState.h"

#include <aclapi.h>
#include <sddl.h>
#include <thread>
#include <vector>

namespace qd::drivers {

namespace {

using namespace std::chrono;
using namespace simstate;
using platform::errorText;
using platform::Handle;
using platform::widen;

// A lock on Windows keeps everyone else from reading the bytes it covers,
// and the record must stay readable to whoever only looks at the board. So
// the claim locks one byte far past the record instead.
constexpr DWORD kLockOffsetHigh = 1;

std::string systemError(const char* what, DWORD error = ::GetLastError()) {
    return std::string(what) + ": " + errorText(error);
}

bool missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Why a path with these attributes must not hold the state, or "".
std::string kindProblem(DWORD attributes, bool folder) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return "it is a reparse point (a link or a junction)";
    }
    if (folder && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return "it is not a folder";
    }
    if (!folder && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "it is a folder, not a regular file";
    }
    return "";
}

std::vector<BYTE> tokenInformation(TOKEN_INFORMATION_CLASS what) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return {};
    }
    const Handle owned(token);
    DWORD size = 0;
    ::GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> data(size);
    if (size == 0 || !::GetTokenInformation(token, what, data.data(), size, &size)) {
        return {};
    }
    return data;
}

std::string sidText(PSID sid) {
    char* text = nullptr;
    if (!::ConvertSidToStringSidA(sid, &text)) {
        return "an unknown account";
    }
    std::string result = text;
    ::LocalFree(text);
    return result;
}

// Why what `handle` opened must not be used for its owner, or "". Ours is
// what belongs to the user we run as, or to the owner that the system gives
// the objects we make (for an administrator, the Administrators group).
std::string ownerProblem(HANDLE handle) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD rc = ::GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                       nullptr, nullptr, nullptr, &descriptor);
    if (rc != ERROR_SUCCESS) {
        return systemError("its owner cannot be told", rc);
    }
    const std::vector<BYTE> user = tokenInformation(TokenUser);
    const std::vector<BYTE> defaultOwner = tokenInformation(TokenOwner);
    std::string problem;
    if (user.empty() || defaultOwner.empty()) {
        problem = systemError("this process's account cannot be told");
    } else {
        const PSID userSid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
        const PSID ownerSid = reinterpret_cast<const TOKEN_OWNER*>(defaultOwner.data())->Owner;
        if (!owner || (!::EqualSid(owner, userSid) && !::EqualSid(owner, ownerSid))) {
            problem = "it belongs to " + (owner ? sidText(owner) : std::string("no one")) +
                      ", not to " + sidText(userSid);
        }
    }
    ::LocalFree(descriptor);
    return problem;
}

// Why the private folder must not hold the state, or "".
std::string folderProblem(const std::string& folder) {
    const std::wstring name = widen(folder);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return systemError("cannot look at it");
    }
    if (auto problem = kindProblem(attributes, true); !problem.empty()) {
        return problem;
    }
    const Handle handle(::CreateFileW(
        name.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle.valid()) {
        return systemError("cannot look at it");
    }
    return ownerProblem(handle.get());
}

std::string makePrivateFolder(const std::string& folder) {
    if (!::CreateDirectoryW(widen(folder).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return systemError("cannot make it");
    }
    return folderProblem(folder);
}

// Opens the state file itself, never what a link in its place leads to.
Handle openState(const std::string& path, DWORD access, DWORD disposition) {
    return Handle(::CreateFileW(widen(path).c_str(), access | READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Why the state file that was opened must not be used, or "", with its
// size as it is now.
std::string fileProblem(HANDLE file, ULONGLONG& size) {
    if (::GetFileType(file) != FILE_TYPE_DISK) {
        return "it is a device, not a regular file";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) {
        return systemError("cannot look at it");
    }
    if (auto problem = kindProblem(info.dwFileAttributes, false); !problem.empty()) {
        return problem;
    }
    if (auto problem = ownerProblem(file); !problem.empty()) {
        return problem;
    }
    size = (ULONGLONG{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    if (auto problem = sizeProblem(size); !problem.empty()) {
        return problem;
    }
    return "";
}

bool readRecord(HANDLE file, SimRecord& r) {
    OVERLAPPED at{}; // from offset 0
    DWORD n = 0;
    return ::ReadFile(file, &r, sizeof r, &n, &at) && n == sizeof r;
}

// Takes the lock, polling until the deadline so that a holder that hangs
// cannot hang anyone: 0, or ERROR_LOCK_VIOLATION when still held, or
// another error.
DWORD lockWithin(HANDLE file, milliseconds wait) {
    const auto deadline = steady_clock::now() + wait;
    for (;;) {
        OVERLAPPED at{};
        at.OffsetHigh = kLockOffsetHigh;
        if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            return 0;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) {
            return error;
        }
        const auto now = steady_clock::now();
        if (now >= deadline) {
            return ERROR_LOCK_VIOLATION;
        }
        std::this_thread::sleep_for(std::min<steady_clock::duration>(20ms, deadline - now));
    }
}

} // namespace

struct SimClaim::Hold {
    Hold(HANDLE lockedFile, HANDLE fileMapping) : file(lockedFile), mapping(fileMapping) {}
    ~Hold() {
        OVERLAPPED at{};
        at.OffsetHigh = kLockOffsetHigh;
        ::UnlockFileEx(file.get(), 0, 1, 0, &at);
    }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    Handle file;
    Handle mapping;
};

SimStateView peekSimState(const SimConfig& config) {
    SimStateView view;
    if (!config.privateFolder.empty()) {
        if (::GetFileAttributesW(widen(config.privateFolder).c_str()) == INVALID_FILE_ATTRIBUTES &&
            missing(::GetLastError())) {
            return view;
        }
        if (const auto problem = folderProblem(config.privateFolder); !problem.empty()) {
            view.result = refusal("state folder", config.privateFolder, problem);
            return view;
        }
    }
    const std::string& path = config.statePath;
    const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (const DWORD error = ::GetLastError(); !missing(error)) {
            view.result = refusal("state file", path, systemError("cannot look at it", error));
        }
        return view;
    }
    if (const auto problem = kindProblem(attributes, false); !problem.empty()) {
        view.result = refusal("state file", path, problem);
        return view;
    }
    const Handle file = openState(path, GENERIC_READ, OPEN_EXISTING);
    if (!file.valid()) {
        view.result = refusal("state file", path, systemError("cannot read it"));
        return view;
    }
    ULONGLONG size = 0;
    if (const auto problem = fileProblem(file.get(), size); !problem.empty()) {
        view.result = refusal("state file", path, problem);
        return view;
    }
    if (size == 0) {
        return view;
    }
    SimRecord r;
    const bool whole = readRecord(file.get(), r);
    return viewOfRead(whole, r, path);
}

std::unique_ptr<SimClaim> SimClaim::take(const SimConfig& config, LinkResult& why) {
    if (!config.privateFolder.empty()) {
        if (const auto problem = makePrivateFolder(config.privateFolder); !problem.empty()) {
            why = refuse("state folder", config.privateFolder, problem);
            return nullptr;
        }
    }
    const std::string& path = config.statePath;
    // Looked at before it is opened, so that a link or a folder named by
    // mistake is never opened; what was opened is checked again below.
    if (const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
        attributes != INVALID_FILE_ATTRIBUTES) {
        if (const auto problem = kindProblem(attributes, false); !problem.empty()) {
            why = refuse("state file", path, problem);
            return nullptr;
        }
    }
    Handle file = openState(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    if (!file.valid()) {
        why = refuse("state file", path, systemError("cannot open it"));
        return nullptr;
    }
    ULONGLONG size = 0;
    if (const auto problem = fileProblem(file.get(), size); !problem.empty()) {
        why = refuse("state file", path, problem);
        return nullptr;
    }
    if (const DWORD error = lockWithin(file.get(), config.claimWait);
        error == ERROR_LOCK_VIOLATION) {
        SimRecord r;
        const bool haveRecord = readRecord(file.get(), r) && recordProblem(r).empty();
        why = fail(LinkStatus::Busy, kLibrary, "open",
                   "board busy: held by " +
                       describeHolder(haveRecord ? r.holderPid : 0, haveRecord ? &r : nullptr));
        return nullptr;
    } else if (error != 0) {
        why = refuse("state file", path, systemError("cannot lock it", error));
        return nullptr;
    }
    // The lock is let go with the handle, on every way out from here.
    // Whoever held it before may have just made the record.
    if (const auto problem = fileProblem(file.get(), size); !problem.empty()) {
        why = refuse("state file", path, problem);
        return nullptr;
    }
    if (size == 0) {
        // A board just powered up.
        const SimRecord fresh;
        OVERLAPPED at{};
        DWORD n = 0;
        if (!::WriteFile(file.get(), &fresh, sizeof fresh, &n, &at) || n != sizeof fresh) {
            why = refuse("state file", path, systemError("cannot write it"));
            return nullptr;
        }
    }
    Handle mapping(
        ::CreateFileMappingW(file.get(), nullptr, PAGE_READWRITE, 0, sizeof(SimRecord), nullptr));
    void* view = mapping.valid() ? ::MapViewOfFile(mapping.get(), FILE_MAP_READ | FILE_MAP_WRITE, 0,
                                                   0, sizeof(SimRecord))
                                 : nullptr;
    if (!view) {
        why = refuse("state file", path, systemError("cannot map it"));
        return nullptr;
    }
    auto* record = static_cast<SimRecord*>(view);
    if (const auto problem = recordProblem(*record); !problem.empty()) {
        ::UnmapViewOfFile(view);
        why = refuse("state file", path, problem);
        return nullptr;
    }
    markHeld(*record);
    return std::unique_ptr<SimClaim>(
        new SimClaim(std::make_unique<Hold>(file.release(), mapping.release()), record, config));
}

SimClaim::SimClaim(std::unique_ptr<Hold> hold, SimRecord* record, const SimConfig& config)
    : hold_(std::move(hold)), record_(record), config_(config), converter_(record->model),
      fitted_(record->modelFitted != 0) {}

// The claimed file is open without FILE_SHARE_DELETE, so no one can remove
// or rename it, and the system refuses to cut short a file that is mapped:
// of what may befall the file on POSIX systems, only overwriting it can
// happen here, and the record's own check finds that.
SimClaim::Look SimClaim::look() {
    return Look::Intact;
}

bool SimClaim::restore() {
    return true;
}

SimClaim::~SimClaim() {
    markFree(*record_);
    ::UnmapViewOfFile(record_);
}

} // namespace qd::drivers

// The simulated board's state file on Windows: in a private folder under
// %LOCALAPPDATA%, owned by the user (or the owner the system gives what the
// user makes), and no link or junction.

#include "drivers/SimState.h"
#include "drivers/SimStateFile.h"
#include "platform/Error.h"
#include "platform/Win32.h"

#include <aclapi.h>
#include <sddl.h>
#include <vector>

namespace qd::drivers {

namespace {

using qd::platform::errorText;
using qd::platform::Handle;
using qd::platform::widen;

std::string systemError(const char* what, DWORD error = ::GetLastError()) {
    return std::string(what) + ": " + errorText(static_cast<long>(error));
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

} // namespace

PathLook lookAtFolder(const std::string& folder) {
    if (::GetFileAttributesW(widen(folder).c_str()) == INVALID_FILE_ATTRIBUTES &&
        missing(::GetLastError())) {
        return {};
    }
    const auto problem = folderProblem(folder);
    return {problem.empty() ? PathLook::Fine : PathLook::Refused, problem};
}

PathLook lookAtFile(const std::string& path) {
    const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        return missing(error)
                   ? PathLook{}
                   : PathLook{PathLook::LookFailed, systemError("cannot look at it", error)};
    }
    const auto problem = kindProblem(attributes, false);
    return {problem.empty() ? PathLook::Fine : PathLook::Refused, problem};
}

std::string makePrivateFolder(const std::string& folder) {
    if (!::CreateDirectoryW(widen(folder).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return systemError("cannot make it");
    }
    return folderProblem(folder);
}

std::string whyNotOpened(qd::platform::Access access) {
    return systemError(access == qd::platform::Access::Read ? "cannot read it" : "cannot open it");
}

// The tick count is kept in memory the system shares with every process.
std::chrono::nanoseconds coarseClock() {
    return std::chrono::milliseconds(static_cast<std::int64_t>(::GetTickCount64()));
}

// The system refuses to cut short a file that is mapped: nothing to guard.
void guardRecord(const SimRecord*) {}
void unguardRecord(const SimRecord*) {}

std::string SimClaim::Hold::problem(unsigned long long& size) {
    ULONGLONG now = 0;
    auto problem = fileProblem(reinterpret_cast<HANDLE>(file), now);
    size = now;
    return problem;
}

// Windows does not tell who holds a lock: the record does.
int SimClaim::Hold::lockHolder() const {
    return 0;
}

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

} // namespace qd::drivers

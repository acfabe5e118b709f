// Owned by the user (or by the owner the system gives what the user makes),
// and no link or junction.

#include "platform/Error.h"
#include "platform/PrivateFile.h"
#include "platform/Win32.h"

#include <aclapi.h>
#include <sddl.h>
#include <vector>

namespace qd::platform {

namespace {

std::string systemError(const char* what, DWORD error = ::GetLastError()) {
    return std::string(what) + ": " + errorText(static_cast<long>(error));
}

bool missing(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Why a path with these attributes must not be used, or "".
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

// Why the private folder must not be used, or "".
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

} // namespace

PathLook lookAtPrivateFolder(const std::string& folder) {
    if (::GetFileAttributesW(widen(folder).c_str()) == INVALID_FILE_ATTRIBUTES &&
        missing(::GetLastError())) {
        return {};
    }
    const auto problem = folderProblem(folder);
    return {problem.empty() ? PathLook::Fine : PathLook::Refused, problem};
}

std::string makePrivateFolder(const std::string& folder) {
    if (!::CreateDirectoryW(widen(folder).c_str(), nullptr) &&
        ::GetLastError() != ERROR_ALREADY_EXISTS) {
        return systemError("cannot make it");
    }
    return folderProblem(folder);
}

std::string makePrivateFolders(const std::string& path) {
    // A new folder takes its parent's access rules: under the user's own
    // profile, the user's alone. A level above that cannot be made (a
    // drive's root) shows in the last one's failure.
    for (std::size_t at = path.find_first_of("\\/", 1);; at = path.find_first_of("\\/", at + 1)) {
        const std::string level = path.substr(0, at);
        const bool made = ::CreateDirectoryW(widen(level).c_str(), nullptr) ||
                          ::GetLastError() == ERROR_ALREADY_EXISTS;
        if (at == std::string::npos) {
            return made ? "" : systemError(("cannot make " + level).c_str());
        }
    }
}

std::string makePrivateFile(const std::string& path) {
    const HANDLE file = ::CreateFileW(widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return systemError("cannot make it");
    }
    ::CloseHandle(file);
    return "";
}

PathLook lookAtPrivateFile(const std::string& path) {
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

std::string whyNotOpened(Access access) {
    return systemError(access == Access::Read ? "cannot read it" : "cannot open it");
}

// Windows does not tell what becomes of a path: `seen` stays as it is.
std::string privateFileProblem(FileHandle file, FileIdentity& /*seen*/, std::uint64_t& size) {
    const auto handle = reinterpret_cast<HANDLE>(file);
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        return "it is a device, not a regular file";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(handle, &info)) {
        return systemError("cannot look at it");
    }
    if (auto problem = kindProblem(info.dwFileAttributes, false); !problem.empty()) {
        return problem;
    }
    if (auto problem = ownerProblem(handle); !problem.empty()) {
        return problem;
    }
    size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    return "";
}

// The file is open without FILE_SHARE_DELETE, so no one can remove or
// rename it, and the system refuses to cut short a file that is mapped: of
// what may befall the file on POSIX systems, only overwriting it can happen
// here, which its user's own check of the bytes finds.
FileFate fateOf(FileHandle, const std::string&, FileIdentity&, std::uint64_t) {
    return FileFate::Intact;
}

} // namespace qd::platform

// Owned by the user and written by no one else, its path watched while it
// is open.

#include "platform/Error.h"
#include "platform/Posix.h"
#include "platform/PrivateFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::platform {

namespace {

std::string systemError(const char* what) {
    return std::string(what) + ": " + lastErrorText();
}

// Why what has `mode`, not a regular file, must not be used.
std::string kindProblem(mode_t mode) {
    if (S_ISLNK(mode)) {
        return "it is a symbolic link";
    }
    const char* kind = kindOf(mode, DeviceWords::AsDevice);
    return kind ? std::string("it is ") + kind + ", not a regular file"
                : "it is not a regular file";
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

// Why the private folder must not be used, or "" when it may.
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

} // namespace

PathLook lookAtPrivateFolder(const std::string& folder) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0) {
        return errno == ENOENT ? PathLook{}
                               : PathLook{PathLook::LookFailed, systemError("cannot look at it")};
    }
    const auto problem = folderProblem(st);
    return {problem.empty() ? PathLook::Fine : PathLook::Refused, problem};
}

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

std::string makePrivateFolders(const std::string& path) {
    // Each level in turn, so that a folder made here is never, even for a
    // moment, open to others.
    for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
        const std::string level = path.substr(0, at);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) {
            return systemError(("cannot make " + level).c_str());
        }
        if (at == std::string::npos) {
            return "";
        }
    }
}

std::string makePrivateFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return systemError("cannot make it");
    }
    ::close(fd);
    return "";
}

PathLook lookAtPrivateFile(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? PathLook{}
                               : PathLook{PathLook::LookFailed, systemError("cannot look at it")};
    }
    if (!S_ISREG(st.st_mode)) {
        return {PathLook::Refused, kindProblem(st.st_mode)};
    }
    return {PathLook::Fine, ""};
}

std::string whyNotOpened(Access access) {
    if (access == Access::Read) {
        return systemError("cannot read it");
    }
    return errno == ELOOP ? kindProblem(S_IFLNK) : systemError("cannot open it");
}

std::string privateFileProblem(FileHandle file, FileIdentity& seen, std::uint64_t& size) {
    struct stat st {};
    if (::fstat(static_cast<int>(file), &st) != 0) {
        return systemError("cannot look at it");
    }
    seen = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    size = static_cast<std::uint64_t>(st.st_size);
    if (!S_ISREG(st.st_mode)) {
        return kindProblem(st.st_mode);
    }
    if (st.st_uid != ::geteuid()) {
        return notOurs(st);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "others may write it (mode " + modeOf(st) + ")";
    }
    return "";
}

FileFate fateOf(FileHandle file, const std::string& path, FileIdentity& seen, std::uint64_t size) {
    // A file put in its place leaves it without a name; a file moved away,
    // or anything else done to it, changes its status change time, and only
    // then is its path looked at too.
    struct stat st {};
    if (::fstat(static_cast<int>(file), &st) != 0) {
        return FileFate::Intact;
    }
    if (st.st_nlink == 0) {
        return FileFate::Replaced;
    }
    if (st.st_ctim.tv_sec != seen.changedSeconds || st.st_ctim.tv_nsec != seen.changedNanoseconds) {
        struct stat at {};
        if (::lstat(path.c_str(), &at) != 0 ||
            static_cast<std::uint64_t>(at.st_dev) != seen.device ||
            static_cast<std::uint64_t>(at.st_ino) != seen.inode) {
            return FileFate::Replaced;
        }
        seen.changedSeconds = st.st_ctim.tv_sec;
        seen.changedNanoseconds = st.st_ctim.tv_nsec;
    }
    return static_cast<std::uint64_t>(st.st_size) < size ? FileFate::CutShort : FileFate::Intact;
}

} // namespace qd::platform

#include "platform/Error.h"
#include "platform/Output.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <random>
#include <sys/stat.h>
#include <windows.h>

// Paths come from the command line, in the ANSI code page, and go to the
// functions that take that code page.

namespace qd::platform {
namespace {

// Opened for no access, only to ask what it is: NUL and CON are devices
// whatever folder they seem to be in.
bool isSpecialFile(const std::string& path) {
    const HANDLE h = ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool special = ::GetFileType(h) != FILE_TYPE_DISK;
    ::CloseHandle(h);
    return special;
}

} // namespace

// No folder here is shared the way a sticky /tmp is: the system's access
// rules keep another user's link or file from being taken for ours.
std::string plantedProblem(const std::string&) {
    return {};
}

bool openTarget(const std::string& path, OutputTarget& target, std::string& why) {
    target = {};
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    const bool special = isSpecialFile(path);
    if (attributes == INVALID_FILE_ATTRIBUTES && !special) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            // A missing folder is found when a file is made beside the path.
            return true;
        }
        why = std::strerror(EACCES);
        return false;
    }
    // Opened as the system resolves the path; nothing truncated.
    const int fd = ::_open(path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    target.fd = fd;
    target.mode = _S_IREAD | _S_IWRITE;
    target.kind =
        special ? OutputTarget::Kind::Special
        : attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
            ? OutputTarget::Kind::Link
            : OutputTarget::Kind::File;
    return true;
}

// Windows has no mode bits to keep beyond read-only, and a read-only file
// is not opened for writing: a new file gets the access its folder passes
// on, whatever `mode` says.
bool folderTakesResults(const std::string&, std::string&) {
    // Windows has no rule of its own for links in shared folders, and
    // making a link takes a privilege there.
    return true;
}

int createBeside(const std::string& path, int /*mode*/, std::string& partial, std::string& why) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = path + ".partial-";
        for (int i = 0; i < 6; ++i) {
            name += letters[random() % (sizeof letters - 1)];
        }
        const int fd =
            ::_open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
        if (fd >= 0) {
            partial = name;
            return fd;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    why = std::strerror(errno);
    return -1;
}

bool replaceFile(const std::string& from, const std::string& to, std::string& why) {
    if (!::MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        why = lastErrorText();
        return false;
    }
    return true;
}

int openToRead(const std::string& path) {
    return ::_open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}

long readSome(int fd, char* into, std::size_t size) {
    return ::_read(fd, into, static_cast<unsigned>(size));
}

bool isRegularFile(int fd) {
    return ::GetFileType(reinterpret_cast<HANDLE>(::_get_osfhandle(fd))) == FILE_TYPE_DISK;
}

bool store(int fd) {
    return ::_commit(fd) == 0;
}

long long seek(int fd, long long offset, int whence) {
    return ::_lseeki64(fd, offset, whence);
}

bool cut(int fd, long long length) {
    if (const errno_t error = ::_chsize_s(fd, length); error != 0) {
        errno = error;
        return false;
    }
    return true;
}

} // namespace qd::platform

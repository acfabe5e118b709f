#include "platform/Output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::platform {
namespace {

mode_t currentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

// Why an open of `path`, with `error`, failed, in words a user can act on.
std::string whyNotOpened(const std::string& path, const struct stat& entry, int error) {
    std::string why = std::strerror(error);
    struct stat st {};
    if (error == EACCES && S_ISLNK(entry.st_mode)) {
        why += "; it is a symbolic link, which in a shared folder only its owner may follow";
    } else if (error == EACCES && entry.st_uid != ::geteuid()) {
        why += "; it belongs to another user";
    } else if (error == ENXIO && ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        why = "it is a FIFO that no one reads";
    }
    return why;
}

// The kernel's rule for sticky folders that everyone may write (/tmp),
// kept also where the system leaves fs.protected_symlinks or
// fs.protected_regular off: what another user put there is neither followed
// nor opened, unless the folder is theirs.
bool plantedInSharedFolder(const std::string& path, const struct stat& entry) {
    if (entry.st_uid == ::geteuid()) {
        return false;
    }
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    struct stat st {};
    return ::stat(folder.c_str(), &st) == 0 && (st.st_mode & S_ISVTX) != 0 &&
           (st.st_mode & S_IWOTH) != 0 && st.st_uid != entry.st_uid;
}

} // namespace

std::string plantedProblem(const std::string& path) {
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0 || !plantedInSharedFolder(path, entry)) {
        return {};
    }
    return std::string(S_ISLNK(entry.st_mode) ? "it is a symbolic link" : "it is a file") +
           " that user " + std::to_string(entry.st_uid) +
           " put in a shared folder; move it away or name another path";
}

bool openTarget(const std::string& path, OutputTarget& target, std::string& why) {
    target = {};
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0) {
        if (errno == ENOENT) {
            return true;
        }
        why = std::strerror(errno);
        return false;
    }
    // The kernel follows a link here, or refuses to: a link of another
    // user's in a sticky folder that others may write (fs.protected_symlinks),
    // or a file or FIFO of theirs there opened with O_CREAT
    // (fs.protected_regular, fs.protected_fifos); the same is refused first
    // for systems that have those switched off. O_NONBLOCK: a FIFO without a
    // reader fails at once rather than hang.
    if (plantedInSharedFolder(path, entry)) {
        why = whyNotOpened(path, entry, EACCES);
        return false;
    }
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    if (fd < 0) {
        why = whyNotOpened(path, entry, errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        why = std::strerror(errno);
        ::close(fd);
        return false;
    }
    target.fd = fd;
    target.mode = st.st_mode & 0777;
    if (!S_ISREG(st.st_mode)) {
        // Blocking in its writes, as a pipe's writer should.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        target.kind = OutputTarget::Kind::Special;
    } else {
        target.kind = S_ISLNK(entry.st_mode) ? OutputTarget::Kind::Link : OutputTarget::Kind::File;
    }
    return true;
}

bool folderTakesResults(const std::string& path, std::string& why) {
    // "lot/" would name what the link leads to, not the link.
    std::string named = path;
    while (named.size() > 1 && named.back() == '/') {
        named.pop_back();
    }
    struct stat entry {};
    if (::lstat(named.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode) ||
        !plantedInSharedFolder(named, entry)) {
        return true;
    }
    why = whyNotOpened(named, entry, EACCES);
    return false;
}

int createBeside(const std::string& path, int mode, std::string& partial, std::string& why) {
    std::string pattern = path + ".partial-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        why = std::strerror(errno);
        return fd;
    }
    ::fchmod(fd, mode >= 0 ? static_cast<mode_t>(mode) : 0666 & ~currentUmask());
    partial = pattern;
    return fd;
}

bool replaceFile(const std::string& from, const std::string& to, std::string& why) {
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

int openToRead(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

long readSome(int fd, char* into, std::size_t size) {
    ssize_t n = 0;
    do {
        n = ::read(fd, into, size);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

bool isRegularFile(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

bool store(int fd) {
    return ::fsync(fd) == 0;
}

long long seek(int fd, long long offset, int whence) {
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}

bool cut(int fd, long long length) {
    return ::ftruncate(fd, static_cast<off_t>(length)) == 0;
}

} // namespace qd::platform

#include "platform/File.h"
#include "platform/Posix.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::platform {

bool writeAll(int fd, std::string_view bytes, std::size_t& done, std::string& why) {
    done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        why = n < 0 ? std::strerror(errno) : "No space left on device";
        return false;
    }
    return true;
}

} // namespace qd::platform

namespace qd::platform {

std::string pathFromNarrow(const std::string& path) {
    return path;
}

int openForAppend(const std::string& path, std::string& why) {
    // O_APPEND and one write per line keep lines whole when two processes
    // append to the same file.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = std::strerror(errno);
    }
    return fd;
}

void closeDescriptor(int fd) {
    ::close(fd);
}

FileHandle openUnfollowed(const std::string& path, Access access) {
    const int flags = access == Access::Read ? O_RDONLY : O_RDWR | O_CREAT;
    return ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
}

void closeFile(FileHandle file) {
    ::close(static_cast<int>(file));
}

bool readAt(FileHandle file, void* into, std::size_t size, std::uint64_t offset) {
    return ::pread(static_cast<int>(file), into, size, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(size);
}

bool writeAt(FileHandle file, const void* from, std::size_t size, std::uint64_t offset) {
    return ::pwrite(static_cast<int>(file), from, size, static_cast<off_t>(offset)) ==
           static_cast<ssize_t>(size);
}

} // namespace qd::platform

namespace qd::platform {

const char* kindOf(mode_t mode, DeviceWords devices) {
    const bool byKind = devices == DeviceWords::ByKind;
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return byKind ? "a character device" : "a device";
    }
    if (S_ISBLK(mode)) {
        return byKind ? "a block device" : "a device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return nullptr;
}

namespace {

std::string sizeWords(std::size_t limit) {
    const bool mebibytes = limit % (std::size_t{1} << 20) == 0;
    return std::to_string(mebibytes ? limit >> 20 : limit) + (mebibytes ? " MiB" : " bytes");
}

// The file's type and size must allow reading it whole.
bool fitToRead(const std::string& path, const struct stat& st, std::size_t limit,
               std::string& why) {
    if (!S_ISREG(st.st_mode)) {
        const char* kind = kindOf(st.st_mode, DeviceWords::ByKind);
        why = path + " is " + (kind ? kind : "a special file") + ", not a regular file";
        return false;
    }
    if (static_cast<unsigned long long>(st.st_size) > limit) {
        why = path + " has " + std::to_string(st.st_size) + " bytes, more than the " +
              sizeWords(limit) + " it may have";
        return false;
    }
    return true;
}

} // namespace

bool readRegularFile(const std::string& path, std::size_t limit, std::string& text,
                     std::string& why) {
    const auto failed = [&](const char* what) {
        why = std::string(what) + " " + path + ": " + std::strerror(errno);
        return false;
    };
    // Looked at before it is opened, so that a device is never opened at
    // all; opened without waiting, so that a FIFO put in its place meanwhile
    // is refused by the second look, at what was opened, which is what
    // counts.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return failed("cannot open");
    }
    if (!fitToRead(path, st, limit, why)) {
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return failed("cannot open");
    }
    const auto closed = [fd](bool result) {
        ::close(fd);
        return result;
    };
    if (::fstat(fd, &st) != 0) {
        return closed(failed("cannot read"));
    }
    if (!fitToRead(path, st, limit, why)) {
        return closed(false);
    }
    text.assign(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return closed(failed("cannot read"));
        }
        if (n == 0) {
            break; // shortened meanwhile
        }
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    return closed(true);
}

} // namespace qd::platform

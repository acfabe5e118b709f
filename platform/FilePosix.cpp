#include "platform/File.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

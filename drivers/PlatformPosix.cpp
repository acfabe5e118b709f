#include "drivers/IntelHex.h"
#include "drivers/Platform.h"
#include "platform/Process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::drivers {

StatePlace defaultStatePlace() {
    // The runtime folder is the user's alone by definition. Failing that, a
    // folder of our own in the shared temporary folder: a predictable file
    // name there could be made in advance by anyone.
    const std::string runtime = qd::platform::environment("XDG_RUNTIME_DIR");
    if (!runtime.empty()) {
        return {runtime + "/qd1600-board.state", ""};
    }
    std::string temporary = qd::platform::environment("TMPDIR");
    if (temporary.empty()) {
        temporary = "/tmp";
    }
    const std::string folder = temporary + "/qd1600-" + std::to_string(::geteuid());
    return {folder + "/board.state", folder};
}

namespace {

// What a path names when it is not a regular file, for the refusal.
const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a FIFO";
    }
    if (S_ISCHR(mode)) {
        return "a character device";
    }
    if (S_ISBLK(mode)) {
        return "a block device";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    return "a special file";
}

std::string systemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

// The file's type and size must allow an image: checked by stat before the
// file is opened, so that a device is never opened at all, and by fstat on
// what was opened, which is what counts.
void checkImageFile(const std::string& path, const struct stat& st, std::size_t limit) {
    if (!S_ISREG(st.st_mode)) {
        throw IntelHexError(0, path + " is " + kindOf(st.st_mode) + ", not a regular file");
    }
    checkImageSize(path, static_cast<unsigned long long>(st.st_size), limit);
}

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { ::close(fd_); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

  private:
    int fd_;
};

} // namespace

std::string readImageText(const std::string& path, std::size_t limit) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw IntelHexError(0, systemError("cannot open", path));
    }
    checkImageFile(path, st, limit);
    // Non-blocking, so that a FIFO put in the file's place meanwhile is
    // refused by the fstat below instead of waiting for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw IntelHexError(0, systemError("cannot open", path));
    }
    const FileDescriptor file(fd);
    if (::fstat(fd, &st) != 0) {
        throw IntelHexError(0, systemError("cannot read", path));
    }
    checkImageFile(path, st, limit);
    std::string text(static_cast<std::size_t>(st.st_size), '\0');
    std::size_t used = 0;
    while (used < text.size()) {
        const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw IntelHexError(0, systemError("cannot read", path));
        }
        if (n == 0) {
            break; // shortened meanwhile: parse what is there
        }
        used += static_cast<std::size_t>(n);
    }
    text.resize(used);
    return text;
}

} // namespace qd::drivers

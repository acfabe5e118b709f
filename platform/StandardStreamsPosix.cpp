#include "platform/StandardStreams.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::platform {

void prepareStandardStreams() {
    std::signal(SIGPIPE, SIG_IGN);
}

bool isTerminal(int fd) {
    return ::isatty(fd) == 1;
}

bool canRedrawLines(int fd) {
    return isTerminal(fd);
}

bool isStandardOutput(int fd) {
    struct stat st {};
    struct stat out {};
    return ::fstat(fd, &st) == 0 && ::fstat(kStandardOutput, &out) == 0 &&
           st.st_dev == out.st_dev && st.st_ino == out.st_ino;
}

} // namespace qd::platform

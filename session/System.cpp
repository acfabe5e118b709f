#include "session/System.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qd::session {

bool sysCopyInto(const std::string& from, int into, std::string& why) {
    const int in = sysOpenToRead(from);
    if (in < 0) {
        why = std::strerror(errno);
        return false;
    }
    const bool file = sysIsRegularFile(into);
    bool ok = !file || sysEmptyFile(into, why);
    char buffer[65536];
    while (ok) {
        const long n = sysReadSome(in, buffer, sizeof buffer);
        if (n <= 0) {
            ok = n == 0;
            if (!ok) {
                why = std::strerror(errno);
            }
            break;
        }
        ok = writeAll(into, std::string_view(buffer, static_cast<std::size_t>(n)), why);
    }
    sysClose(in);
    if (ok && file && !sysStore(into)) {
        why = std::strerror(errno);
        ok = false;
    }
    return ok;
}

void sysTakeBack(int fd, std::size_t bytes) {
    const long long start = sysSeek(fd, -static_cast<long long>(bytes), SEEK_CUR);
    if (start >= 0) {
        sysCut(fd, start);
    }
}

bool sysEmptyFile(int fd, std::string& why) {
    if (!sysCut(fd, 0) || sysSeek(fd, 0, SEEK_SET) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

void sysRemove(const std::string& path) {
    std::remove(path.c_str());
}

bool sysCommit(int fd, const std::string& from, const std::string& to, std::string& why) {
    const bool stored = sysStore(fd);
    if (!stored) {
        why = std::strerror(errno);
    }
    sysClose(fd);
    return stored && sysReplace(from, to, why);
}

} // namespace qd::session

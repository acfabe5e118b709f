#include "platform/Output.h"

#include "platform/File.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qd::platform {

bool copyInto(const std::string& from, int into, std::string& why) {
    const int in = openToRead(from);
    if (in < 0) {
        why = std::strerror(errno);
        return false;
    }
    const bool file = isRegularFile(into);
    bool ok = !file || emptyFile(into, why);
    char buffer[65536];
    while (ok) {
        const long n = readSome(in, buffer, sizeof buffer);
        if (n <= 0) {
            ok = n == 0;
            if (!ok) {
                why = std::strerror(errno);
            }
            break;
        }
        ok = writeAll(into, std::string_view(buffer, static_cast<std::size_t>(n)), why);
    }
    closeDescriptor(in);
    if (ok && file && !store(into)) {
        why = std::strerror(errno);
        ok = false;
    }
    return ok;
}

void takeBack(int fd, std::size_t bytes) {
    const long long start = seek(fd, -static_cast<long long>(bytes), SEEK_CUR);
    if (start >= 0) {
        cut(fd, start);
    }
}

bool emptyFile(int fd, std::string& why) {
    if (!cut(fd, 0) || seek(fd, 0, SEEK_SET) != 0) {
        why = std::strerror(errno);
        return false;
    }
    return true;
}

void removeFile(const std::string& path) {
    std::remove(path.c_str());
}

bool commit(int fd, const std::string& from, const std::string& to, std::string& why) {
    const bool stored = store(fd);
    if (!stored) {
        why = std::strerror(errno);
    }
    closeDescriptor(fd);
    return stored && replaceFile(from, to, why);
}

} // namespace qd::platform

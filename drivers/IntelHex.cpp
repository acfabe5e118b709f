#include "drivers/IntelHex.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qd::drivers {

std::size_t HexImage::byteCount() const {
    std::size_t n = 0;
    for (const auto& s : segments) {
        n += s.data.size();
    }
    return n;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::vector<std::uint8_t> decodeRecord(std::string_view line, int lineNo) {
    if (line.empty() || line.front() != ':') {
        throw IntelHexError(lineNo, "record does not start with ':'");
    }
    line.remove_prefix(1);
    if (line.size() % 2 != 0) {
        throw IntelHexError(lineNo, "odd number of hexadecimal digits");
    }
    std::vector<std::uint8_t> bytes;
    bytes.reserve(line.size() / 2);
    for (std::size_t i = 0; i < line.size(); i += 2) {
        const int hi = hexValue(line[i]);
        const int lo = hexValue(line[i + 1]);
        if (hi < 0 || lo < 0) {
            throw IntelHexError(lineNo, "not a hexadecimal digit");
        }
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    if (bytes.size() < 5) {
        throw IntelHexError(lineNo, "record too short");
    }
    if (bytes.size() != 5u + bytes[0]) {
        throw IntelHexError(lineNo, "record length " + std::to_string(bytes[0]) +
                                        " does not match its data (truncated line?)");
    }
    unsigned sum = 0;
    for (const auto b : bytes) {
        sum += b;
    }
    if ((sum & 0xFF) != 0) {
        throw IntelHexError(lineNo, "checksum mismatch");
    }
    return bytes;
}

std::uint32_t bigEndian32(const std::uint8_t* data) {
    return static_cast<std::uint32_t>(data[0]) << 24 | static_cast<std::uint32_t>(data[1]) << 16 |
           static_cast<std::uint32_t>(data[2]) << 8 | data[3];
}

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
void checkImageFile(const std::string& path, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) {
        throw IntelHexError(0, path + " is " + kindOf(st.st_mode) + ", not a regular file");
    }
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxHexFileSize) {
        throw IntelHexError(0, path + " has " + std::to_string(st.st_size) +
                                   " bytes, more than the 1 MiB an image file may have");
    }
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

HexImage parseIntelHex(std::string_view text) {
    HexImage image;
    std::uint32_t base = 0;
    bool ended = false;
    int lineNo = 0;
    while (!text.empty()) {
        const auto eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        ++lineNo;
        while (!line.empty() &&
               (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (ended) {
            throw IntelHexError(lineNo, "data after the end-of-file record");
        }
        const auto bytes = decodeRecord(line, lineNo);
        const std::size_t count = bytes[0];
        const auto offset = static_cast<std::uint32_t>(bytes[1] << 8 | bytes[2]);
        const std::uint8_t type = bytes[3];
        const std::uint8_t* data = bytes.data() + 4;
        switch (type) {
        case 0x00: {
            const std::uint32_t address = base + offset;
            if (!image.segments.empty()) {
                auto& last = image.segments.back();
                if (last.address + last.data.size() == address) {
                    last.data.insert(last.data.end(), data, data + count);
                    break;
                }
            }
            image.segments.push_back({address, {data, data + count}});
            break;
        }
        case 0x01:
            if (count != 0) {
                throw IntelHexError(lineNo, "end-of-file record with data");
            }
            ended = true;
            break;
        case 0x02:
            if (count != 2) {
                throw IntelHexError(lineNo, "extended segment address record needs 2 bytes");
            }
            base = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 4;
            break;
        case 0x03:
            if (count != 4) {
                throw IntelHexError(lineNo, "start segment address record needs 4 bytes");
            }
            image.startSegmentAddress = bigEndian32(data);
            break;
        case 0x04:
            if (count != 2) {
                throw IntelHexError(lineNo, "extended linear address record needs 2 bytes");
            }
            base = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 16;
            break;
        case 0x05:
            if (count != 4) {
                throw IntelHexError(lineNo, "start linear address record needs 4 bytes");
            }
            image.startAddress = bigEndian32(data);
            break;
        default: {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", type);
            throw IntelHexError(lineNo, std::string("unknown record type ") + hex);
        }
        }
    }
    if (!ended) {
        throw IntelHexError(lineNo, "no end-of-file record");
    }
    return image;
}

HexImage readIntelHexFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        throw IntelHexError(0, systemError("cannot open", path));
    }
    checkImageFile(path, st);
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
    checkImageFile(path, st);
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
    return parseIntelHex(text);
}

namespace {

void appendRecord(std::string& out, std::uint8_t type, std::uint16_t offset,
                  const std::uint8_t* data, std::size_t count) {
    char buf[16];
    unsigned sum = static_cast<unsigned>(count) + (offset >> 8) + (offset & 0xFF) + type;
    std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(count), offset, type);
    out += buf;
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        out += buf;
        sum += data[i];
    }
    std::snprintf(buf, sizeof buf, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    out += buf;
}

} // namespace

std::string writeIntelHex(const std::vector<HexSegment>& segments) {
    std::string out;
    std::uint32_t upper = 0;
    for (const auto& segment : segments) {
        for (std::size_t i = 0; i < segment.data.size();) {
            const auto address = static_cast<std::uint32_t>(segment.address + i);
            if ((address >> 16) != upper || (out.empty() && upper != 0)) {
                upper = address >> 16;
                const std::uint8_t ext[2] = {static_cast<std::uint8_t>(upper >> 8),
                                             static_cast<std::uint8_t>(upper)};
                appendRecord(out, 0x04, 0, ext, 2);
            }
            // A record never crosses a 64 KiB boundary.
            const std::size_t toBoundary = 0x10000 - (address & 0xFFFF);
            const std::size_t n = std::min({std::size_t{16}, segment.data.size() - i, toBoundary});
            appendRecord(out, 0x00, static_cast<std::uint16_t>(address & 0xFFFF),
                         segment.data.data() + i, n);
            i += n;
        }
    }
    appendRecord(out, 0x01, 0, nullptr, 0);
    return out;
}

} // namespace qd::drivers

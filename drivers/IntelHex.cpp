#include "drivers/IntelHex.h"

#include "platform/File.h"

#include <algorithm>
#include <cstdio>

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
    // The program hands the path over in the ANSI code page on Windows, the
    // code page the maker's library takes; the file is read by its name in
    // Unicode.
    std::string text, why;
    if (!qd::platform::readRegularFile(qd::platform::pathFromNarrow(path), kMaxHexFileSize, text,
                                       why)) {
        throw IntelHexError(0, why);
    }
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

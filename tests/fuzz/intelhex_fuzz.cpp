// The Intel HEX reader on arbitrary text: it either refuses with a line
// number or returns an image that writes back to the same bytes. The same
// bytes as a file must read exactly as the text parses, and a file beyond
// the size limit (an input starting with 0xFF is padded past it) must be
// refused before it is read.

#include "drivers/IntelHex.h"

#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <unistd.h>

namespace {

using namespace qd::drivers;

std::map<std::uint32_t, std::uint8_t> flatten(const HexImage& image) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    for (const auto& s : image.segments) {
        for (std::size_t i = 0; i < s.data.size(); ++i) {
            bytes[static_cast<std::uint32_t>(s.address + i)] = s.data[i];
        }
    }
    return bytes;
}

// What a read or a parse came to: the error text, or the image.
struct Outcome {
    std::string error;
    HexImage image;

    bool operator==(const Outcome& other) const {
        if (error != other.error || image.segments.size() != other.image.segments.size() ||
            image.startAddress != other.image.startAddress ||
            image.startSegmentAddress != other.image.startSegmentAddress) {
            return false;
        }
        for (std::size_t i = 0; i < image.segments.size(); ++i) {
            if (image.segments[i].address != other.image.segments[i].address ||
                image.segments[i].data != other.image.segments[i].data) {
                return false;
            }
        }
        return true;
    }
};

template <typename F> Outcome outcomeOf(F&& f) {
    Outcome o;
    try {
        o.image = f();
    } catch (const IntelHexError& e) {
        o.error = e.what();
    }
    return o;
}

// One file for the whole run, in memory so that nothing is left behind
// however the run ends, and named by its /proc path as a user names a file.
struct Scratch {
    int fd = -1;
    std::string path;
};

const Scratch& scratch() {
    static const Scratch s = [] {
        Scratch made;
        made.fd = ::memfd_create("image.hex", MFD_CLOEXEC);
        if (made.fd < 0) {
            std::abort();
        }
        made.path = "/proc/self/fd/" + std::to_string(made.fd);
        return made;
    }();
    return s;
}

void writeScratch(std::string_view bytes, std::size_t length) {
    const int fd = scratch().fd;
    if (::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
        ::ftruncate(fd, static_cast<off_t>(length)) != 0) {
        std::abort();
    }
}

void checkFileReader(std::string_view text) {
    const bool padded = text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF;
    // Sparse padding to up to 256 bytes past the limit: cheap to make, and
    // the reader must not even start on it.
    const std::size_t length =
        padded ? std::max(text.size(), kMaxHexFileSize + 1 + static_cast<unsigned char>(text[1]))
               : text.size();
    writeScratch(text, length);
    const Outcome read = outcomeOf([] { return readIntelHexFile(scratch().path); });
    if (length > kMaxHexFileSize) {
        if (read.error.find("line 0: ") != 0 ||
            read.error.find("more than the 1 MiB") == std::string::npos) {
            std::abort();
        }
        return;
    }
    if (!(read == outcomeOf([&] { return parseIntelHex(text); }))) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkFileReader(text);
    HexImage image;
    try {
        image = parseIntelHex(text);
    } catch (const IntelHexError& e) {
        if (e.line() < 0) {
            std::abort();
        }
        return 0;
    }
    // Later records may overwrite earlier ones; compare what memory holds.
    const auto original = flatten(image);
    std::vector<HexSegment> segments;
    for (const auto& [address, byte] : original) {
        if (!segments.empty() && segments.back().address + segments.back().data.size() == address) {
            segments.back().data.push_back(byte);
        } else {
            segments.push_back({address, {byte}});
        }
    }
    if (flatten(parseIntelHex(writeIntelHex(segments))) != original) {
        std::abort();
    }
    return 0;
}

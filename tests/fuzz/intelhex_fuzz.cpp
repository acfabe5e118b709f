// The Intel HEX reader on arbitrary text: it either refuses with a line
// number or returns an image that writes back to the same bytes.

#include "drivers/IntelHex.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string_view>

namespace {

std::map<std::uint32_t, std::uint8_t> flatten(const qd::drivers::HexImage& image) {
    std::map<std::uint32_t, std::uint8_t> bytes;
    for (const auto& s : image.segments) {
        for (std::size_t i = 0; i < s.data.size(); ++i) {
            bytes[static_cast<std::uint32_t>(s.address + i)] = s.data[i];
        }
    }
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qd::drivers;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
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

#pragma once

#include "board/BoardFacts.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qd::drivers {

// A run of consecutive bytes at one 32-bit address.
struct HexSegment {
    std::uint32_t address = 0;
    std::vector<std::uint8_t> data;
};

struct HexImage {
    std::vector<HexSegment> segments; // in file order, adjacent records merged
    // Where the code starts, if the file says: type 05's linear address, and
    // type 03's CS:IP with CS in the upper half. A RAM load ignores both.
    std::optional<std::uint32_t> startAddress;
    std::optional<std::uint32_t> startSegmentAddress;

    std::size_t byteCount() const;
};

class IntelHexError : public std::runtime_error {
  public:
    IntelHexError(int line, const std::string& what)
        : std::runtime_error("line " + std::to_string(line) + ": " + what), line_(line) {}
    int line() const noexcept { return line_; }

  private:
    int line_;
};

// The largest file readIntelHexFile takes (the board's own limit).
inline constexpr std::size_t kMaxHexFileSize = board::kMaxImageFileBytes;

// Reads a whole Intel HEX text: record types 00 (data), 01 (end of file),
// 02 (extended segment address), 03 (start segment address), 04 (extended
// linear address) and 05 (start linear address), checksums verified, LF or
// CR/LF line ends, spaces and tabs at a line's end ignored. Anything else,
// or anything after the end-of-file record, raises IntelHexError naming the
// line, so that a caller can refuse an image before touching a board.
HexImage parseIntelHex(std::string_view text);

// Reads the file at path and parses it. Only a regular file (or a symlink to
// one) of at most kMaxHexFileSize bytes is read; a folder, FIFO or device is
// refused without waiting on it. A file that cannot be read raises
// IntelHexError with line 0.
HexImage readIntelHexFile(const std::string& path);

// The inverse, for the image generator and tests: 16 data bytes a record,
// with a type 04 record wherever the upper 16 address bits change.
std::string writeIntelHex(const std::vector<HexSegment>& segments);

} // namespace qd::drivers

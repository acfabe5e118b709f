#pragma once

#include "link/Binding.h"

#include <QString>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace qd::link {

using PathBufferArray = std::array<std::uint8_t, 513>;

inline constexpr const char* kFirmwareFileName = "QD1600.hex";

// Stores one byte per character code and a terminating 0. The limits are
// those of a 513-byte buffer walked with a 16-bit counter: a path of up to
// 512 characters fits; a longer one raises the subscript error after the
// first 513 bytes are stored; a code outside 0..255 raises the overflow
// error; more than 32768 characters raise the overflow error before
// anything is stored. Bytes after the terminator keep what they held.
void FillPathBuffer(std::span<const int> codes, PathBufferArray& buffer);

// The codes a path has in the link library's one-byte form: the bytes the
// file system uses for it on POSIX, the ANSI code page on Windows (where a
// character with no single byte gets a code past 255).
std::vector<int> pathCharacterCodes(const QString& path);

// The firmware file in the given program directory.
QString firmwarePathIn(const QString& programDirectory);

// The link state of the board start-up, alive for the whole run.
struct UsbStuff {
    QString FirmwarePath;
    PathBufferArray PathBuffer{};

    // Names the firmware beside the program, fills PathBuffer and has the
    // link library download it; true when the variant's rule says success.
    // Run-time errors (path too long, library missing) propagate.
    bool StartBoard(LinkBinding& binding, const QString& programDirectory);
};

} // namespace qd::link

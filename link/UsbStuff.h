#pragma once

#include "link/Binding.h"

#include <QByteArray>
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

// Paths travel in their byte form: on POSIX the bytes the file system names
// them by, which need not be valid text in any encoding (a folder named in
// Latin-1 under a UTF-8 locale); on Windows, where names are text, UTF-8.

// The byte form of a path named in text.
QByteArray pathBytes(const QString& path);

// The folder that holds the running program's executable, byte for byte.
QByteArray programDirectory();

// The firmware file in a program folder: the folder, the platform's
// separator, the file name.
QByteArray firmwarePathIn(const QByteArray& programDirectory);

// The codes a path has in the link library's one-byte form: its bytes on
// POSIX; on Windows the ANSI code page's, where a character with no single
// byte gets a code past 255.
std::vector<int> pathCharacterCodes(const QByteArray& path);

// The link state of the board start-up, alive for the whole run.
struct UsbStuff {
    QByteArray FirmwarePath; // byte form
    PathBufferArray PathBuffer{};

    // Names the firmware beside the program, fills PathBuffer and has the
    // link library download it; true when the variant's rule says success.
    // Run-time errors (path too long, library missing) propagate.
    bool StartBoard(LinkBinding& binding, const QByteArray& programDirectory);
    bool StartBoard(LinkBinding& binding, const QString& programDirectory) {
        return StartBoard(binding, pathBytes(programDirectory));
    }
};

} // namespace qd::link

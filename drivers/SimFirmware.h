#pragma once

// The simulated board's firmware image, as the simulated board, real USB
// (which never loads it into a real board) and the image's generator know
// it; and the board's facts as the link libraries use them.

#include "board/BoardFacts.h"
#include "boardmodel/BoardModel.h"
#include "drivers/IntelHex.h"

#include <array>
#include <cstdint>

namespace qd::drivers {

using board::kProductId;
using board::kRequestReadConverter;
using board::kRequestWriteFrame;
using board::kVendorId;
using board::reverseBits;

// The image header the simulated board's firmware carries at its lowest
// address: a magic string, then major and minor version bytes.
inline constexpr std::array<std::uint8_t, 8> kFirmwareMagic = {'Q', 'D', 'S', 'I',
                                                               'M', 'F', 'W', 0};
inline constexpr std::uint8_t kFirmwareMajor = 1;

// True when the image starts with the simulated board's header, of any
// version: an image made for the simulated board, never for a real one.
bool carriesSimulatedBoardHeader(const HexImage& image);

// True when the image is one the simulated board runs: its header, of the
// version it knows.
bool isSimulatedBoardFirmware(const HexImage& image);

} // namespace qd::drivers

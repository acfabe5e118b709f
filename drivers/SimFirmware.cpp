#include "drivers/SimFirmware.h"

#include <algorithm>

namespace qd::drivers {

namespace {

// The bytes at the image's lowest address, if that address is 0.
const std::vector<std::uint8_t>* headerBytes(const HexImage& image) {
    if (image.segments.empty()) {
        return nullptr;
    }
    const auto lowest = std::min_element(
        image.segments.begin(), image.segments.end(),
        [](const HexSegment& a, const HexSegment& b) { return a.address < b.address; });
    return lowest->address == 0 ? &lowest->data : nullptr;
}

} // namespace

bool carriesSimulatedBoardHeader(const HexImage& image) {
    const auto* data = headerBytes(image);
    return data && data->size() >= kFirmwareMagic.size() &&
           std::equal(kFirmwareMagic.begin(), kFirmwareMagic.end(), data->begin());
}

bool isSimulatedBoardFirmware(const HexImage& image) {
    const auto* data = headerBytes(image);
    return carriesSimulatedBoardHeader(image) && data->size() >= kFirmwareMagic.size() + 2 &&
           (*data)[kFirmwareMagic.size()] == kFirmwareMajor;
}

} // namespace qd::drivers

// Writes the simulated board's firmware image as Intel HEX: a header the
// board checks (magic, version), a text naming the image, then filler code.
// A real board's image from its maker replaces the generated file.

#include "drivers/IntelHex.h"
#include "drivers/SimFirmware.h"

#include <cstdio>
#include <fstream>
#include <string_view>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.hex\n", argv[0]);
        return 2;
    }
    using qd::drivers::HexSegment;
    using qd::drivers::kFirmwareMagic;
    using qd::drivers::kFirmwareMajor;
    using qd::drivers::writeIntelHex;
    HexSegment image{0, {kFirmwareMagic.begin(), kFirmwareMagic.end()}};
    image.data.push_back(kFirmwareMajor);
    image.data.push_back(0); // minor version
    constexpr std::string_view name = "QD1200/1400/1600/1610 evaluation board, simulated firmware";
    image.data.insert(image.data.end(), name.begin(), name.end());
    image.data.push_back(0);
    // Deterministic filler so that the image has a realistic size.
    std::uint32_t x = 0x1600u;
    while (image.data.size() < 4096) {
        x = x * 1103515245u + 12345u;
        image.data.push_back(static_cast<std::uint8_t>(x >> 16));
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << writeIntelHex({image});
    if (!out.flush()) {
        std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}

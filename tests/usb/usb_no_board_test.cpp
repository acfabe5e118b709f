// Both link libraries with no board on the bus: each call fails as the
// programs expect, and both libraries name the same cause. Run under
// umockdev-wrapper; the empty bus is set up before the libraries' first
// call, and stays until the program ends, as the libraries keep libusb.

#include "EmulatedBus.h"
#include "LibraryQuery.h"

#include <cstdlib>
#include <gtest/gtest.h>

short LoadFirmWare(char* path);
extern "C" {
std::int16_t Search_For_Boards(std::int32_t vendor, std::int32_t product, std::int32_t* count,
                               std::uint8_t* list);
std::int16_t Connect(std::int32_t vendor, std::int32_t product, std::uint8_t board,
                     std::int32_t* handle);
}

using namespace qd::test;
using qd::board::LinkStatus;

TEST(NoBoard, BothLibrariesSayNoBoard) {
    ::unsetenv("QD_BOARD");
    static const EmulatedBus* const bus = new EmulatedBus;
    (void)bus;
    constexpr int kNoBoard = static_cast<int>(LinkStatus::NoBoard);

    std::string path = "/nonexistent/QD1600.hex";
    EXPECT_EQ(LoadFirmWare(path.data()), 0);
    EXPECT_EQ(askLibrary(kUsbFunctions, "why"),
              std::make_pair(kNoBoard, std::string("USBFunctions: LoadFirmWare: no board found")));

    std::int32_t count = -1;
    std::uint8_t list[128] = {};
    EXPECT_EQ(Search_For_Boards(0x2F1A, 0x7C05, &count, list), 1);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(askLibrary(kQns, "why").first, kNoBoard);
    std::int32_t handle = 0;
    EXPECT_EQ(Connect(0x2F1A, 0x7C05, 1, &handle), 2);
    EXPECT_EQ(askLibrary(kQns, "why"),
              std::make_pair(kNoBoard, std::string("USB: open board 1: no such board (0 found)")));

    for (const char* library : {kUsbFunctions, kQns}) {
        EXPECT_EQ(askLibrary(library, "boards"), std::make_pair(0, std::string())) << library;
    }
    EXPECT_EQ(askLibrary(kUsbFunctions, "select=1").first, kNoBoard);
}

// Both link libraries through their exported functions, on real libusb
// against two emulated boards. Run under umockdev-wrapper. Each library
// chooses its backend once, at its first call, so the bus is set up first
// and QD_BOARD is cleared before any call.

#include "EmulatedBus.h"
#include "LibraryQuery.h"
#include "TempDir.h"
#include "drivers/UsbBackend.h"

#include <cstdlib>
#include <gtest/gtest.h>

// USBFunctions keeps C++ linkage, as the programs look it up.
short LoadFirmWare(char* path);
short VendorIORequest(short request, int value, int index, short direction, short length,
                      char* buffer);

extern "C" {
std::int16_t Search_For_Boards(std::int32_t vendor, std::int32_t product, std::int32_t* count,
                               std::uint8_t* list);
std::int16_t Connect(std::int32_t vendor, std::int32_t product, std::uint8_t board,
                     std::int32_t* handle);
std::int16_t Download_Firmware(std::int32_t handle, char* path);
std::int16_t Vendor_Request(std::int32_t handle, std::uint8_t request, std::int32_t value,
                            std::int32_t index, std::uint8_t direction, std::int16_t length,
                            std::uint8_t* buffer);
}

using namespace qd::test;
using qd::board::LinkStatus;

namespace {

constexpr std::int32_t kVendor = 0x2F1A;
constexpr std::int32_t kProduct = 0x7C05;

// Two boards, on ports 1 and 2; the first one re-enumerates after its
// firmware download, as a board that starts as a bare microcontroller does.
class TwoBoards : public ::testing::Environment {
  public:
    void SetUp() override {
        ::unsetenv("QD_BOARD");
        ::setenv("QD_USB_POLL_MS", "10", 1);
        // Bounds that only a broken library reaches: the waits end when the
        // board answers, and a loaded machine slows the emulation down.
        ::setenv("QD_USB_RETURN_MS", "60000", 1);
        ::setenv("QD_USB_TIMEOUT_MS", "60000", 1);
        bus = new EmulatedBus;
        first = &bus->plug(1);
        second = &bus->plug(2);
        first->setAfterReset(AfterReset::Reenumerates);
        dir = std::make_unique<TempDir>();
        firmware = dir->file("QD1600.hex");
        writeFile(firmware, firmwareImage(5000));
    }
    // The bus is never taken down: the libraries keep their boards until
    // the test program ends, and let them go through it as it ends.
    void TearDown() override { dir.reset(); }

    EmulatedBus* bus = nullptr;
    EmulatedBoard* first = nullptr;
    EmulatedBoard* second = nullptr;
    std::unique_ptr<TempDir> dir;
    std::string firmware;
};

TwoBoards* boards = nullptr;

using Packet = std::array<std::uint8_t, 8>;

Packet lastSetup(const EmulatedBoard& board) {
    const auto seen = board.transfers();
    return seen.empty() ? Packet{} : seen.back().setupPacket();
}

} // namespace

// First, while neither library has a board yet: both tell a board that
// another program holds as busy, which qdctl makes status 9.
TEST(BothLibraries, BoardAnotherProgramHoldsIsBusy) {
    qd::drivers::UsbBackend otherProgram;
    const auto held = otherProgram.open(1);
    ASSERT_TRUE(held);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(VendorIORequest(218, 0, 0, 1, 2, std::array<char, 2>{}.data()), 0);
    std::int32_t handle = 0;
    EXPECT_NE(Connect(kVendor, kProduct, 1, &handle), 0);
    ::testing::internal::GetCapturedStderr();
    for (const char* library : {kUsbFunctions, kQns}) {
        const auto [status, why] = askLibrary(library, "why");
        EXPECT_EQ(status, static_cast<int>(LinkStatus::Busy)) << library << ": " << why;
        EXPECT_NE(why.find("board busy"), std::string::npos) << library << ": " << why;
    }
    EXPECT_EQ(boards->first->transferCount(), 0u) << "nothing reached the held board";
}

TEST(USBFunctions, LoadsFirmwareAndTalksToTheFirstBoard) {
    std::string path = boards->firmware;
    ASSERT_EQ(LoadFirmWare(path.data()), 1);
    EXPECT_TRUE(boards->first->running());
    EXPECT_EQ(boards->first->memory(0, 5000),
              qd::drivers::parseIntelHex(firmwareImage(5000)).segments.at(0).data);

    ASSERT_EQ(VendorIORequest(221, 0x2800, 0x1000, 0, 0, nullptr), 1);
    EXPECT_EQ(lastSetup(*boards->first), (Packet{0x40, 221, 0x00, 0x28, 0x00, 0x10, 0, 0}));

    char reply[2] = {};
    ASSERT_EQ(VendorIORequest(218, 0, 0, 1, 2, reply), 1);
    EXPECT_EQ(lastSetup(*boards->first), (Packet{0xC0, 218, 0, 0, 0, 0, 2, 0}));
    const auto expected = boards->first->model().readReply();
    EXPECT_EQ(static_cast<std::uint8_t>(reply[0]), expected[0]);
    EXPECT_EQ(static_cast<std::uint8_t>(reply[1]), expected[1]);
    // 0x2800 of 14 bits is 5/8 of full scale: 2560 counts, 0x0A00.
    EXPECT_EQ(static_cast<std::uint8_t>(reply[0]), qd::drivers::reverseBits(0x0A));
    EXPECT_EQ(static_cast<std::uint8_t>(reply[1]), 0x00);

    EXPECT_EQ(boards->second->transferCount(), 0u);
}

TEST(QNS_CYUSB_USB4, ListsBothBoardsAndTalksToTheOneConnected) {
    std::int32_t count = -1;
    std::uint8_t list[129];
    std::fill(std::begin(list), std::end(list), 0xEE);
    ASSERT_EQ(Search_For_Boards(kVendor, kProduct, &count, list), 0);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(list[0], 1);
    EXPECT_EQ(list[1], 2);
    EXPECT_EQ(list[2], 0xEE);
    EXPECT_EQ(list[128], 0xEE);

    const std::size_t firstBefore = boards->first->transferCount();
    std::int32_t handle = 0;
    ASSERT_EQ(Connect(kVendor, kProduct, 2, &handle), 0);
    EXPECT_NE(handle, 0);
    std::string path = boards->firmware;
    ASSERT_EQ(Download_Firmware(handle, path.data()), 0);
    EXPECT_TRUE(boards->second->running());

    // A 24-bit frame in power mode 1: its mode travels in wIndex.
    ASSERT_EQ(Vendor_Request(handle, 221, 0x1FFFF, 0x1801, 0, 0, nullptr), 0);
    EXPECT_EQ(lastSetup(*boards->second), (Packet{0x40, 221, 0xFF, 0xFF, 0x01, 0x18, 0, 0}));
    std::uint8_t reply[2] = {0xEE, 0xEE};
    ASSERT_EQ(Vendor_Request(handle, 218, 0, 0, 1, 2, reply), 0);
    // Powered down: the output reads 0 V.
    EXPECT_EQ(reply[0], 0);
    EXPECT_EQ(reply[1], 0);
    EXPECT_EQ(boards->first->transferCount(), firstBefore);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Vendor_Request(handle, 221, 0x0FFFF, 0x1801, 0, 0, nullptr), 5);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("request 221: value bits 16 and up (0) disagree"), std::string::npos) << err;
    EXPECT_EQ(lastSetup(*boards->second), (Packet{0xC0, 218, 0, 0, 0, 0, 2, 0}));
    const auto [status, why] = askLibrary(kQns, "why");
    EXPECT_EQ(status, static_cast<int>(LinkStatus::BadArgument));
    EXPECT_EQ(why + "\n", err) << "why repeats the line printed";
}

TEST(QNS_CYUSB_USB4, ConnectToABoardThatIsNotThere) {
    std::int32_t handle = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Connect(kVendor, kProduct, 3, &handle), 2);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("USB: open board 3: no such board (2 found)"), std::string::npos) << err;
    EXPECT_EQ(handle, 0);
    EXPECT_EQ(askLibrary(kQns, "why").first, static_cast<int>(LinkStatus::NoBoard));
}

TEST(LinkQuery, BothLibrariesListBothBoards) {
    const std::string listed =
        "id=1 bus=1 port=1 vendor=2f1a product=7c05 firmware=unknown access=yes\n"
        "id=2 bus=1 port=2 vendor=2f1a product=7c05 firmware=unknown access=yes\n";
    for (const char* library : {kUsbFunctions, kQns}) {
        EXPECT_EQ(askLibrary(library, "boards"), std::make_pair(0, listed)) << library;
    }
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    boards = new TwoBoards;
    ::testing::AddGlobalTestEnvironment(boards);
    return RUN_ALL_TESTS();
}

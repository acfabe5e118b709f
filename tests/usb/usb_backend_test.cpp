// The real-USB backend through libusb against boards emulated at the
// usbdevfs level. Run under umockdev-wrapper.

#include "EmulatedBus.h"
#include "TempDir.h"
#include "drivers/UsbBackend.h"

#include <gtest/gtest.h>

using namespace qd::drivers;
using qd::boardmodel::BoardModel;
using namespace qd::test;
using namespace std::chrono_literals;

namespace {

using Packet = std::array<std::uint8_t, 8>;

const Packet kHoldInReset = {0x40, 0xA0, 0x00, 0xE6, 0x00, 0x00, 0x01, 0x00};
const Packet kReadConverter = {0xC0, 218, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00};

class UsbBackendTest : public ::testing::Test {
  protected:
    // A board that answers ends every wait at once; the bounds only end a
    // wait when the code under test is broken, however slow a loaded
    // machine makes the emulation. Tests that expect a timeout set their own.
    UsbOptions patient() const {
        UsbOptions o;
        o.returnTimeout = 60s;
        o.transferTimeout = 60s;
        o.pollInterval = 10ms;
        return o;
    }

    std::string image(std::size_t size) {
        const std::string path = dir.file("QD1600.hex");
        writeFile(path, firmwareImage(size));
        return path;
    }

    std::unique_ptr<BoardConnection> openLoaded(UsbBackend& backend, int board = 1) {
        auto connection = backend.open(board);
        EXPECT_TRUE(connection);
        if (connection) {
            EXPECT_TRUE(connection->downloadFirmware(image(64)));
        }
        return connection;
    }

    // Runs f and returns what it wrote to standard error.
    template <typename F> static std::string stderrOf(F&& f) {
        ::testing::internal::CaptureStderr();
        f();
        return ::testing::internal::GetCapturedStderr();
    }

    TempDir dir;
    EmulatedBus bus; // before any backend: libusb must find the testbed
};

VendorRequest writeFrame(std::uint32_t value, std::uint32_t index) {
    VendorRequest r;
    r.code = kRequestWriteFrame;
    r.value = value;
    r.index = index;
    return r;
}

VendorRequest readConverter(std::uint8_t* reply) {
    VendorRequest r;
    r.code = kRequestReadConverter;
    r.direction = 1;
    r.length = 2;
    r.buffer = reply;
    return r;
}

} // namespace

TEST_F(UsbBackendTest, NoBoardOnTheBus) {
    UsbBackend backend(patient());
    EXPECT_TRUE(backend.findBoards().empty());
    EXPECT_TRUE(backend.listBoards().empty());
    std::unique_ptr<BoardConnection> connection;
    LinkResult why;
    const std::string err = stderrOf([&] { connection = backend.open(1, why); });
    EXPECT_FALSE(connection);
    EXPECT_EQ(err, "USB: open board 1: no such board (0 found)\n");
    EXPECT_EQ(why.status, LinkStatus::NoBoard);
    EXPECT_EQ(why.diagnostic + "\n", err) << "the result carries the line printed";
}

TEST_F(UsbBackendTest, DownloadLoadsTheWholeImageWhileInReset) {
    struct Case {
        const char* what;
        AfterReset afterReset;
        std::size_t size;
        std::vector<std::size_t> transferSizes;
    };
    const Case cases[] = {
        {"board stays on the bus", AfterReset::Stays, 100, {100}},
        {"board comes back with a new address",
         AfterReset::Reenumerates,
         10000,
         {4096, 4096, 1808}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedBus own;
        auto& board = own.plug(1);
        board.setAfterReset(c.afterReset);
        const std::string firstNode = board.devnode();
        UsbBackend backend(patient());
        auto connection = backend.open(1);
        ASSERT_TRUE(connection);
        ASSERT_TRUE(connection->downloadFirmware(image(c.size)));
        EXPECT_TRUE(board.running());
        EXPECT_EQ(board.devnode() != firstNode, c.afterReset == AfterReset::Reenumerates);

        const auto seen = board.transfers();
        ASSERT_EQ(seen.size(), c.transferSizes.size() + 3);
        EXPECT_EQ(seen.front().setupPacket(), kHoldInReset);
        EXPECT_EQ(seen.front().data, std::vector<std::uint8_t>{1});
        std::uint32_t address = 0;
        for (std::size_t i = 0; i < c.transferSizes.size(); ++i) {
            const auto& t = seen[i + 1];
            EXPECT_EQ(t.requestType, 0x40) << "transfer " << i;
            EXPECT_EQ(t.request, 0xA0) << "transfer " << i;
            EXPECT_EQ(t.value, address) << "transfer " << i;
            EXPECT_EQ(t.index, 0) << "transfer " << i;
            EXPECT_EQ(t.length, c.transferSizes[i]) << "transfer " << i;
            address += t.length;
        }
        EXPECT_EQ(seen[seen.size() - 2].setupPacket(), kHoldInReset);
        EXPECT_EQ(seen[seen.size() - 2].data, std::vector<std::uint8_t>{0});
        EXPECT_EQ(seen.back().setupPacket(), kReadConverter);

        const auto image = parseIntelHex(firmwareImage(c.size));
        EXPECT_EQ(board.memory(0, c.size), image.segments.at(0).data);

        // The connection talks to the board where it is now.
        EXPECT_TRUE(connection->request(writeFrame(0x2000, 0x1000)));
    }
}

TEST_F(UsbBackendTest, AddressesAbove64KiBTravelInTheIndex) {
    auto& board = bus.plug(1);
    UsbBackend backend(patient());
    auto connection = backend.open(1);
    ASSERT_TRUE(connection);
    auto segments = parseIntelHex(firmwareImage(64)).segments;
    std::vector<std::uint8_t> high(100);
    for (std::size_t i = 0; i < high.size(); ++i) {
        high[i] = static_cast<std::uint8_t>(0xFF - i);
    }
    segments.push_back({0x12340, high});
    const std::string path = dir.file("high.hex");
    writeFile(path, writeIntelHex(segments));
    ASSERT_TRUE(connection->downloadFirmware(path));

    const auto seen = board.transfers();
    ASSERT_EQ(seen.size(), 5u);
    EXPECT_EQ(seen[2].setupPacket(), (Packet{0x40, 0xA0, 0x40, 0x23, 0x01, 0x00, 100, 0}));
    EXPECT_EQ(seen[2].data, high);
    EXPECT_EQ(board.memory(0x12340, high.size()), high);
}

TEST_F(UsbBackendTest, RequestsTravelAsOneControlTransferEach) {
    auto& board = bus.plug(1);
    UsbBackend backend(patient());
    auto connection = openLoaded(backend);
    ASSERT_TRUE(connection);
    struct Case {
        const char* what;
        std::uint32_t value;
        std::uint32_t index;
        Packet setup;
    };
    // Each frame is written, then read back through the measuring converter.
    const Case cases[] = {
        {"16-bit frame, mid scale", 0x2000, 0x1000, {0x40, 221, 0x00, 0x20, 0x00, 0x10, 0, 0}},
        {"16-bit frame, full scale", 0x3FFF, 0x1000, {0x40, 221, 0xFF, 0x3F, 0x00, 0x10, 0, 0}},
        {"16-bit frame, powered down", 0x6000, 0x1001, {0x40, 221, 0x00, 0x60, 0x01, 0x10, 0, 0}},
        {"24-bit frame, normal", 0x0ABCD, 0x1800, {0x40, 221, 0xCD, 0xAB, 0x00, 0x18, 0, 0}},
        {"24-bit frame, power mode 2", 0x2ABCD, 0x1802, {0x40, 221, 0xCD, 0xAB, 0x02, 0x18, 0, 0}},
        {"24-bit frame, low code", 0x00001, 0x1800, {0x40, 221, 0x01, 0x00, 0x00, 0x18, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        board.clearTransfers();
        ASSERT_TRUE(connection->request(writeFrame(c.value, c.index)));
        std::uint8_t reply[2] = {0xEE, 0xEE};
        ASSERT_TRUE(connection->request(readConverter(reply)));

        const auto seen = board.transfers();
        ASSERT_EQ(seen.size(), 2u);
        EXPECT_EQ(seen[0].setupPacket(), c.setup);
        EXPECT_EQ(seen[1].setupPacket(), kReadConverter);

        BoardModel expected;
        ASSERT_TRUE(expected.writeFrame(c.value, c.index));
        const auto bytes = expected.readReply();
        EXPECT_EQ(reply[0], bytes[0]);
        EXPECT_EQ(reply[1], bytes[1]);
        // The reply is the reading, high byte first, each byte mirrored.
        EXPECT_EQ(reverseBits(reply[0]) << 8 | reverseBits(reply[1]), expected.measure());
    }
}

TEST_F(UsbBackendTest, RequestsThatMustNotReachTheBoard) {
    auto& board = bus.plug(1);
    UsbBackend backend(patient());
    auto connection = openLoaded(backend);
    ASSERT_TRUE(connection);
    struct Case {
        const char* what;
        VendorRequest request;
        const char* error;
    };
    VendorRequest noBuffer = readConverter(nullptr);
    const Case cases[] = {
        {"24-bit frame, value says mode 1, index says 0", writeFrame(0x1ABCD, 0x1800),
         "request 221: value bits 16 and up (1) disagree with the power mode in the index (0)"},
        {"24-bit frame, value says mode 0, index says 3", writeFrame(0x0ABCD, 0x1803),
         "(0) disagree with the power mode in the index (3)"},
        {"24-bit frame, stray high bits", writeFrame(0x4ABCD, 0x1800), "(4) disagree"},
        {"read without a buffer", noBuffer, "request 218: no buffer for 2 bytes"},
    };
    board.clearTransfers();
    for (const auto& c : cases) {
        LinkResult result;
        const std::string err = stderrOf([&] { result = connection->request(c.request); });
        EXPECT_EQ(result.status, LinkStatus::BadArgument) << c.what;
        EXPECT_NE(err.find(c.error), std::string::npos) << c.what << ": " << err;
    }
    EXPECT_EQ(board.transferCount(), 0u);
}

TEST_F(UsbBackendTest, CorruptImageWritesNothing) {
    auto& board = bus.plug(1);
    UsbBackend backend(patient());
    auto connection = backend.open(1);
    ASSERT_TRUE(connection);
    const std::string good = firmwareImage(64);
    const std::string lastData = good.substr(0, good.rfind(":00000001FF"));
    struct Case {
        const char* what;
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"checksum wrong in the last record",
         lastData.substr(0, lastData.size() - 3) + "00\n" + ":00000001FF\n", "checksum mismatch"},
        {"no end-of-file record", lastData, "no end-of-file record"},
        {"unknown record type at the end", lastData + ":00000006FA\n:00000001FF\n",
         "unknown record type 06"},
        {"empty file", "", "no end-of-file record"},
        {"no data at all", ":00000001FF\n", "no data"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file("corrupt.hex");
        writeFile(path, c.text);
        LinkResult result;
        const std::string err = stderrOf([&] { result = connection->downloadFirmware(path); });
        EXPECT_EQ(result.status, LinkStatus::BadImage) << c.what;
        EXPECT_NE(err.find("USB: firmware download: image " + path), std::string::npos)
            << c.what << ": " << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << c.what << ": " << err;
        EXPECT_EQ(board.transferCount(), 0u) << c.what;
    }
    LinkResult result;
    const std::string err =
        stderrOf([&] { result = connection->downloadFirmware(dir.file("none")); });
    EXPECT_EQ(result.status, LinkStatus::BadImage);
    EXPECT_NE(err.find("cannot open"), std::string::npos) << err;
    EXPECT_EQ(board.transferCount(), 0u);
}

// The packages ship the simulated board's image beside the programs; a real
// board must get none of it, and the user must learn what to put there.
TEST_F(UsbBackendTest, TheShippedSimulatedImageReachesNoRealBoard) {
    auto& board = bus.plug(1);
    UsbBackend backend(patient());
    auto connection = backend.open(1);
    ASSERT_TRUE(connection);
    LinkResult result;
    const std::string err =
        stderrOf([&] { result = connection->downloadFirmware(QD_SIMULATED_FIRMWARE); });
    EXPECT_EQ(result.status, LinkStatus::BadImage);
    EXPECT_NE(err.find("is the simulated board's firmware, which a real board cannot run: put "
                       "the board maker's QD1600.hex in its place"),
              std::string::npos)
        << err;
    EXPECT_EQ(board.transferCount(), 0u);
    EXPECT_FALSE(board.running());
}

TEST_F(UsbBackendTest, DownloadFailsWhenTheBoardDoesNotRunTheImage) {
    struct Case {
        const char* what;
        AfterReset afterReset;
        std::string image;
        const char* error;
    };
    const HexSegment foreign{0, std::vector<std::uint8_t>(64, 0x55)};
    const Case cases[] = {
        {"board never comes back", AfterReset::Vanishes, firmwareImage(64),
         "no answer from the board on bus 1 port 1 within 300 ms: LIBUSB_ERROR_NO_DEVICE"},
        {"board runs something else", AfterReset::Stays, writeIntelHex({foreign}),
         "within 300 ms: LIBUSB_ERROR_PIPE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedBus own;
        own.plug(1).setAfterReset(c.afterReset);
        UsbOptions options = patient();
        options.returnTimeout = 300ms;
        UsbBackend backend(options);
        auto connection = backend.open(1);
        ASSERT_TRUE(connection);
        const std::string path = dir.file("image.hex");
        writeFile(path, c.image);
        LinkResult result;
        const std::string err = stderrOf([&] { result = connection->downloadFirmware(path); });
        EXPECT_EQ(result.status, LinkStatus::DownloadFailed);
        EXPECT_NE(err.find("USB: firmware download: wait for the board to restart: "),
                  std::string::npos)
            << err;
        EXPECT_NE(err.find(c.error), std::string::npos) << err;
    }
}

TEST_F(UsbBackendTest, DownloadFailsWhenAStepIsRefused) {
    auto& board = bus.plug(1);
    board.stallRequest(0xA0);
    UsbBackend backend(patient());
    auto connection = backend.open(1);
    ASSERT_TRUE(connection);
    LinkResult result;
    const std::string err = stderrOf([&] { result = connection->downloadFirmware(image(64)); });
    EXPECT_EQ(result.status, LinkStatus::DownloadFailed);
    EXPECT_EQ(err, "USB: firmware download: hold the microcontroller in reset: "
                   "LIBUSB_ERROR_PIPE\n");
    EXPECT_EQ(board.transferCount(), 1u);
}

TEST_F(UsbBackendTest, UnplugBetweenRequests) {
    auto& board = bus.plug(1);
    UsbBackend backend(patient());
    auto connection = openLoaded(backend);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(connection->request(writeFrame(0x2000, 0x1000)));
    bus.unplug(board);

    LinkResult result;
    std::string err = stderrOf([&] { result = connection->request(writeFrame(0x1000, 0x1000)); });
    EXPECT_EQ(result.status, LinkStatus::NoBoard);
    EXPECT_EQ(err, "USB: request 221: LIBUSB_ERROR_NO_DEVICE\n");

    std::uint8_t reply[2];
    err = stderrOf([&] { result = connection->request(readConverter(reply)); });
    EXPECT_EQ(result.status, LinkStatus::NoBoard);
    EXPECT_EQ(err, "USB: request 218: board on bus 1 port 1: LIBUSB_ERROR_NO_DEVICE\n");
    EXPECT_TRUE(backend.findBoards().empty());
}

TEST_F(UsbBackendTest, StalledRequestFailsAndTheBoardStaysUsable) {
    auto& board = bus.plug(1);
    UsbBackend backend(patient());
    auto connection = openLoaded(backend);
    ASSERT_TRUE(connection);
    board.stallRequest(kRequestReadConverter);
    std::uint8_t reply[2];
    LinkResult result;
    const std::string err = stderrOf([&] { result = connection->request(readConverter(reply)); });
    EXPECT_EQ(result.status, LinkStatus::RequestFailed);
    EXPECT_EQ(err, "USB: request 218: LIBUSB_ERROR_PIPE\n");
    EXPECT_TRUE(connection->request(writeFrame(0x2000, 0x1000)));
    EXPECT_EQ(board.model().lastValue, 0x2000u);
}

// An opened board's interface is claimed until its last connection in
// this process ends; another program (a backend of its own, so a handle of
// its own) is told the board is busy, as on the simulated board.
TEST_F(UsbBackendTest, OpenedBoardIsClaimedUntilItsLastConnectionEnds) {
    struct Case {
        const char* what;
        AfterReset afterReset;
        const char* kernelDriver; // bound before the board is opened; empty for none
    };
    const Case cases[] = {
        {"on the same address after its download", AfterReset::Stays, ""},
        {"back with a new address after its download", AfterReset::Reenumerates, ""},
        {"taken from a kernel driver, given back after", AfterReset::Stays, "usbtest"},
    };
    UsbOptions noWait = patient();
    noWait.claimWait = 0ms;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EmulatedBus own;
        auto& board = own.plug(1);
        board.setAfterReset(c.afterReset);
        board.bindKernelDriver(c.kernelDriver);
        UsbBackend backend(patient());
        auto first = openLoaded(backend);
        ASSERT_TRUE(first);
        auto second = backend.open(1);
        ASSERT_TRUE(second) << "a second connection of the same program";
        EXPECT_TRUE(board.claimed());
        EXPECT_EQ(board.kernelDriver(), "");

        UsbBackend other(noWait);
        LinkResult why;
        std::unique_ptr<BoardConnection> refused;
        const std::string err = stderrOf([&] { refused = other.open(1, why); });
        EXPECT_FALSE(refused);
        EXPECT_EQ(why.status, LinkStatus::Busy);
        EXPECT_EQ(err, "USB: open board 1: bus 1 port 1: LIBUSB_ERROR_BUSY (board busy: "
                       "another program has claimed it)\n");

        first.reset();
        EXPECT_TRUE(board.claimed()) << "held while a connection is left";
        ASSERT_TRUE(second->request(writeFrame(0x2000, 0x1000)));
        second.reset();
        EXPECT_FALSE(board.claimed());
        EXPECT_EQ(board.kernelDriver(), c.kernelDriver);
        EXPECT_TRUE(other.open(1)) << "free for another program";
    }
}

TEST_F(UsbBackendTest, TwoBoardsAreTwoIdentifiers) {
    auto& second = bus.plug(2);
    auto& first = bus.plug(1);
    UsbBackend backend(patient());
    EXPECT_EQ(backend.findBoards(), (std::vector<int>{1, 2}));
    const auto listed = backend.listBoards();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].line(),
              "id=1 bus=1 port=1 vendor=2f1a product=7c05 firmware=unknown access=yes");
    EXPECT_EQ(listed[1].line(),
              "id=2 bus=1 port=2 vendor=2f1a product=7c05 firmware=unknown access=yes");
    auto connection = openLoaded(backend, 2);
    ASSERT_TRUE(connection);
    ASSERT_TRUE(connection->request(writeFrame(0x1234, 0x1000)));
    EXPECT_EQ(first.transferCount(), 0u);
    EXPECT_TRUE(second.running());
    EXPECT_EQ(second.model().lastValue, 0x1234u);

    std::unique_ptr<BoardConnection> none;
    const std::string err = stderrOf([&] { none = backend.open(3); });
    EXPECT_FALSE(none);
    EXPECT_NE(err.find("no such board (2 found)"), std::string::npos) << err;
}

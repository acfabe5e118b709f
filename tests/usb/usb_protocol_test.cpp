// What goes into the setup packets and load transfers, without a bus.

#include "drivers/UsbProtocol.h"

#include <gtest/gtest.h>
#include <libusb.h>

using namespace qd::drivers;

TEST(UsbSetup, LibraryRequestsMapOntoSetupFields) {
    std::uint8_t buffer[2];
    struct Case {
        const char* what;
        VendorRequest request;
        ControlSetup setup;
    };
    const Case cases[] = {
        {"16-bit frame write",
         {221, 0x2000, 0x1000, 0, 0, nullptr},
         {0x40, 221, 0x2000, 0x1000, 0}},
        {"read request", {218, 0, 0, 1, 2, buffer}, {0xC0, 218, 0, 0, 2}},
        {"24-bit frame, power mode agrees",
         {221, 0x3ABCD, 0x1803, 0, 0, nullptr},
         {0x40, 221, 0xABCD, 0x1803, 0}},
        {"24-bit frame, normal mode",
         {221, 0x0FFFF, 0x1800, 0, 0, nullptr},
         {0x40, 221, 0xFFFF, 0x1800, 0}},
        // Only a 24-bit frame carries meaning above bit 15.
        {"16-bit frame, high bits dropped",
         {221, 0x12345, 0x1000, 0, 0, nullptr},
         {0x40, 221, 0x2345, 0x1000, 0}},
        {"index above bit 15 dropped",
         {100, 1, 0xABCD1234, 0, 0, nullptr},
         {0x40, 100, 1, 0x1234, 0}},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto setup = usbSetupFor(c.request, &why);
        ASSERT_TRUE(setup) << c.what << ": " << why;
        EXPECT_EQ(*setup, c.setup) << c.what;
    }
}

TEST(UsbSetup, RefusedRequests) {
    struct Case {
        const char* what;
        VendorRequest request;
        const char* why;
    };
    const Case cases[] = {
        {"24-bit frame, value mode 1 vs index mode 0",
         {221, 0x1ABCD, 0x1800, 0, 0, nullptr},
         "value bits 16 and up (1) disagree with the power mode in the index (0)"},
        {"24-bit frame, value mode 0 vs index mode 2",
         {221, 0x0ABCD, 0x1802, 0, 0, nullptr},
         "(0) disagree with the power mode in the index (2)"},
        {"24-bit frame, bits above the mode", {221, 0x5ABCD, 0x1801, 0, 0, nullptr}, "(5)"},
        {"data without a buffer", {218, 0, 0, 1, 2, nullptr}, "no buffer for 2 bytes"},
    };
    for (const auto& c : cases) {
        std::string why;
        EXPECT_FALSE(usbSetupFor(c.request, &why)) << c.what;
        EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
    }
}

namespace {

std::vector<std::uint8_t> counting(std::size_t n, std::uint8_t first = 0) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(first + i);
    }
    return v;
}

struct Cut {
    std::uint32_t address;
    std::size_t size;
    bool operator==(const Cut&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Cut& c) {
    return out << "{0x" << std::hex << c.address << std::dec << ", " << c.size << "}";
}

} // namespace

TEST(UsbLoad, ImageIsCutIntoTransfers) {
    struct Case {
        const char* what;
        std::vector<HexSegment> segments;
        std::vector<Cut> cuts;
    };
    const Case cases[] = {
        {"one small segment", {{0x0000, counting(100)}}, {{0x0000, 100}}},
        {"exactly one transfer", {{0x0000, counting(4096)}}, {{0x0000, 4096}}},
        {"long segment", {{0x0000, counting(10000)}}, {{0, 4096}, {4096, 4096}, {8192, 1808}}},
        {"adjacent segments merge",
         {{0x0000, counting(10)}, {0x000A, counting(10)}},
         {{0x0000, 20}}},
        {"adjacent segments out of file order merge",
         {{0x0100, counting(0x100)}, {0x0000, counting(0x100)}},
         {{0x0000, 0x200}}},
        {"a gap keeps segments apart",
         {{0x0000, counting(10)}, {0x0020, counting(10)}},
         {{0x0000, 10}, {0x0020, 10}}},
        {"no transfer crosses 64 KiB",
         {{0xFFF0, counting(0x20)}},
         {{0xFFF0, 0x10}, {0x10000, 0x10}}},
        {"high addresses", {{0x123400, counting(8)}}, {{0x123400, 8}}},
        {"empty segments are skipped", {{0x0000, {}}, {0x0010, counting(4)}}, {{0x0010, 4}}},
    };
    for (const auto& c : cases) {
        HexImage image;
        image.segments = c.segments;
        const auto transfers = usbLoadTransfers(image);
        std::vector<Cut> cuts;
        std::size_t total = 0;
        for (const auto& t : transfers) {
            cuts.push_back({t.address, t.data.size()});
            total += t.data.size();
        }
        EXPECT_EQ(cuts, c.cuts) << c.what;
        EXPECT_EQ(total, image.byteCount()) << c.what;
    }
}

TEST(UsbLoad, TransfersCarryTheImageBytes) {
    HexImage image;
    image.segments = {{0x0100, counting(0x100, 0x80)}, {0x0000, counting(0x100)}};
    const auto transfers = usbLoadTransfers(image, 0x180);
    ASSERT_EQ(transfers.size(), 2u);
    std::vector<std::uint8_t> joined = transfers[0].data;
    joined.insert(joined.end(), transfers[1].data.begin(), transfers[1].data.end());
    std::vector<std::uint8_t> expected = counting(0x100);
    const auto upper = counting(0x100, 0x80);
    expected.insert(expected.end(), upper.begin(), upper.end());
    EXPECT_EQ(joined, expected);
}

TEST(UsbLoad, OverlappingSegmentsKeepFileOrder) {
    // The later record wins on the board, as it would reading the file
    // top to bottom.
    HexImage image;
    image.segments = {{0x0010, counting(16)}, {0x0000, counting(32, 0x40)}};
    const auto transfers = usbLoadTransfers(image);
    ASSERT_EQ(transfers.size(), 2u);
    EXPECT_EQ(transfers[0].address, 0x10u);
    EXPECT_EQ(transfers[1].address, 0x00u);
    EXPECT_EQ(transfers[1].data, counting(32, 0x40));
}

TEST(UsbOpen, PermissionFailureNamesTheUdevRule) {
    EXPECT_NE(usbOpenFailureText(LIBUSB_ERROR_ACCESS).find("LIBUSB_ERROR_ACCESS"),
              std::string::npos);
    EXPECT_NE(usbOpenFailureText(LIBUSB_ERROR_ACCESS).find("60-qd1600.rules"), std::string::npos);
    EXPECT_EQ(usbOpenFailureText(LIBUSB_ERROR_NO_DEVICE), "LIBUSB_ERROR_NO_DEVICE");
}

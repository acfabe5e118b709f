#include "LinkTestSupport.h"
#include "control/DataWord.h"
#include "link/CommsFunctions.h"
#include "link/UsbStuff.h"

#include <QCoreApplication>
#include <cstring>
#include <gtest/gtest.h>

using namespace qd;
using namespace qd::control;
using namespace qd::link;

namespace {

using namespace linktest;

std::string hex(long long v) {
    char b[32];
    std::snprintf(b, sizeof b, "%llX", v);
    return b;
}

} // namespace

TEST_F(LinkTest, WriteRequestCarriesFrameLengthAndModeInTheIndex) {
    for (const auto& v : variants()) {
        for (const auto& device : kDevices) {
            for (const auto& mode : kPowerModes) {
                fake::reset();
                auto binding = v.make();
                ControlState s;
                s.selectDevice(device);
                s.PowerMode = mode.mode;
                CommsFunctions comms(*binding, s);
                comms.WriteShiftRegister(s.FrameLength, 0x3FFFF);

                const std::string what = std::string(v.name) + " " + std::string(device.caption) +
                                         " mode " + std::to_string(mode.mode);
                ASSERT_EQ(fake::calls().size(), 1u) << what;
                const auto& call = fake::calls()[0];
                EXPECT_EQ(call.function, v.requestFunction) << what;
                const auto& a = call.args;
                const std::size_t i = v.valueArg;
                if (i == 2) {
                    EXPECT_EQ(a[0], 0x1234567) << what << ": handle first";
                }
                EXPECT_EQ(a[i - 1], 221) << what << ": request code";
                EXPECT_EQ(hex(a[i]), "3FFFF") << what << ": value";
                EXPECT_EQ(hex(a[i + 1]), hex(device.frameLength * 256 + mode.mode))
                    << what << ": index";
                EXPECT_EQ(a[i + 2], 0) << what << ": direction";
                EXPECT_EQ(a[i + 3], 0) << what << ": length";
                ASSERT_EQ(call.bufferBefore.size(), 0u) << what;
                EXPECT_NE(call.buffer, nullptr) << what << ": a write buffer is passed";
            }
        }
    }
}

TEST_F(LinkTest, ReadRequestAndReplyBytes) {
    struct Case {
        std::vector<std::uint8_t> reply;
        std::int32_t expected;
    };
    const Case cases[] = {
        {{0x10, 0x00}, 2048}, {{0xFF, 0xFF}, 65535}, {{0x00, 0x80}, 1}, {{0x01, 0x00}, 0x8000}};
    for (const auto& v : variants()) {
        for (const auto& c : cases) {
            fake::reset();
            fake::behaviour().reply = c.reply;
            auto binding = v.make();
            ControlState s;
            CommsFunctions comms(*binding, s);
            const std::string what =
                std::string(v.name) + " reply " + hex(c.reply[0]) + " " + hex(c.reply[1]);
            EXPECT_EQ(comms.ReadConverter(), c.expected) << what;
            ASSERT_EQ(fake::calls().size(), 1u) << what;
            const auto& call = fake::calls()[0];
            const auto& a = call.args;
            const std::size_t i = v.valueArg;
            EXPECT_EQ(a[i - 1], 218) << what;
            EXPECT_EQ(a[i], 0) << what << ": value";
            EXPECT_EQ(a[i + 1], 0) << what << ": index";
            EXPECT_EQ(a[i + 2], 1) << what << ": direction";
            EXPECT_EQ(a[i + 3], 2) << what << ": length";
            EXPECT_EQ(call.buffer, comms.ReplyBuffer.data()) << what << ": into ReplyBuffer";
        }
    }
}

TEST_F(LinkTest, UnfilledReadRepeatsThePreviousReply) {
    for (const auto& v : variants()) {
        fake::reset();
        auto binding = v.make();
        ControlState s;
        CommsFunctions comms(*binding, s);
        EXPECT_EQ(comms.ReadConverter(), 0) << v.name << ": zero before any reply";
        fake::behaviour().reply = {0x10, 0x00};
        EXPECT_EQ(comms.ReadConverter(), 2048) << v.name;
        fake::behaviour().reply.clear();
        EXPECT_EQ(comms.ReadConverter(), 2048) << v.name << ": buffer not cleared";
    }
}

TEST_F(LinkTest, IndexOverflowSendsNothing) {
    for (const auto& v : variants()) {
        fake::reset();
        auto binding = v.make();
        ControlState s;
        s.PowerMode = 1;
        CommsFunctions comms(*binding, s);
        EXPECT_THROW(comms.WriteShiftRegister(128, 0), RuntimeError) << v.name;
        // 127 * 256 + 255 fits; one more mode step does not.
        s.PowerMode = 256;
        try {
            comms.WriteShiftRegister(127, 0);
            ADD_FAILURE() << v.name << ": no overflow";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.number(), 6) << v.name;
        }
        EXPECT_TRUE(fake::calls().empty()) << v.name;
    }
}

TEST_F(LinkTest, DownloadSuccessRulesOfEachVariant) {
    struct Case {
        int variant;
        std::int16_t result;
        bool success;
    };
    const Case cases[] = {{1, 1, true}, {1, 2, true},  {1, 0, false}, {1, -1, false},
                          {2, 0, true}, {2, 1, false}, {2, -1, false}};
    for (const auto& c : cases) {
        fake::reset();
        fake::behaviour().loadFirmWareResult = c.result;
        fake::behaviour().downloadFirmwareResult = c.result;
        auto binding = variants()[static_cast<std::size_t>(c.variant - 1)].make();
        UsbStuff stuff;
        EXPECT_EQ(stuff.StartBoard(*binding, kBoardDir), c.success)
            << "variant " << c.variant << " result " << c.result;
    }
}

TEST_F(LinkTest, VariantOneLoadsTheFirmwareByPath) {
    UsbFunctionsBinding binding(kFakeName);
    UsbStuff stuff;
    ASSERT_TRUE(stuff.StartBoard(binding, kBoardDir));
    EXPECT_EQ(stuff.FirmwarePath, kBoardFirmware);
    ASSERT_EQ(fake::calls().size(), 1u);
    EXPECT_EQ(fake::calls()[0].function, "LoadFirmWare");
    EXPECT_EQ(fake::calls()[0].path, kBoardFirmware);
}

TEST_F(LinkTest, VariantTwoSearchesConnectsAndDownloadsEvenWithoutABoard) {
    for (const bool boardPresent : {true, false}) {
        fake::reset();
        if (!boardPresent) {
            fake::behaviour().boards.clear();
            fake::behaviour().downloadFirmwareResult = 4;
        }
        QnsBinding binding(fakePath());
        UsbStuff stuff;
        EXPECT_EQ(stuff.StartBoard(binding, kBoardDir), boardPresent);
        const auto& calls = fake::calls();
        ASSERT_EQ(calls.size(), 3u);
        EXPECT_EQ(calls[0].function, "Search_For_Boards");
        EXPECT_EQ(calls[0].args, (std::vector<long long>{0x2F1A, 0x7C05, 0}));
        EXPECT_EQ(calls[1].function, "Connect");
        const long long id = boardPresent ? 1 : 0;
        EXPECT_EQ(calls[1].args, (std::vector<long long>{0x2F1A, 0x7C05, id, 0}));
        EXPECT_EQ(calls[2].function, "Download_Firmware");
        const long long handle = boardPresent ? 0x1234567 : 0;
        EXPECT_EQ(calls[2].args, (std::vector<long long>{handle}));
        EXPECT_EQ(calls[2].path, kBoardFirmware);
        EXPECT_EQ(binding.BoardHandle, handle);
    }
}

TEST_F(LinkTest, UnboundLibraryOrFunctionFailsAtFirstCallNotBefore) {
    struct Case {
        const char* what;
        std::function<void()> call;
        int number;
        std::string named;
    };
    const std::string partial = binDir() + "/" + libraryFile("QdPartialLink");
    const std::string nowhere = "/nonexistent/" + libraryFile("QNS_CYUSB_USB4");
    UsbFunctionsBinding missingLibrary("QdNoSuchLink");
    QnsBinding missingPath(nowhere);
    UsbFunctionsBinding partial1("QdPartialLink");
    QnsBinding partial2(partial);
    std::uint8_t buffer[4] = {};
    const Case cases[] = {
        {"variant 1, missing library", [&] { missingLibrary.LoadFirmWare(nullptr); }, 48,
         libraryFile("QdNoSuchLink")},
        {"variant 2, missing library",
         [&] { missingPath.Search_For_Boards(0, 0, nullptr, nullptr); }, 48, nowhere},
        {"variant 1, missing function", [&] { partial1.vendorRequest(218, 0, 0, 1, 2, buffer); },
         453, UsbFunctionsBinding::kVendorIORequestSymbol},
        {"variant 2, missing function", [&] { partial2.vendorRequest(218, 0, 0, 1, 2, buffer); },
         453, "Vendor_Request"},
    };
    for (const auto& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << c.what << ": no error";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.number(), c.number) << c.what;
            EXPECT_NE(std::string(e.what()).find(c.named), std::string::npos)
                << c.what << ": \"" << e.what() << "\" does not name " << c.named;
        }
    }
    // The functions the partial library does have still work.
    char path[] = "x";
    EXPECT_EQ(partial1.LoadFirmWare(path), 1);
}

TEST(FillPathBuffer, WindowsExampleByteForByte) {
    const std::string path = "C:\\Tools\\Board\\QD1600.hex";
    const std::vector<int> codes(path.begin(), path.end());
    PathBufferArray buffer;
    buffer.fill(0xEE);
    FillPathBuffer(codes, buffer);
    const std::uint8_t expected[] = {0x43, 0x3A, 0x5C, 0x54, 0x6F, 0x6F, 0x6C, 0x73, 0x5C,
                                     0x42, 0x6F, 0x61, 0x72, 0x64, 0x5C, 0x51, 0x44, 0x31,
                                     0x36, 0x30, 0x30, 0x2E, 0x68, 0x65, 0x78};
    static_assert(sizeof expected == 25);
    for (std::size_t i = 0; i < 25; ++i) {
        EXPECT_EQ(buffer[i], expected[i]) << "index " << i;
    }
    EXPECT_EQ(buffer[25], 0);
    EXPECT_EQ(buffer[26], 0xEE) << "bytes after the terminator keep what they held";
}

TEST(FillPathBuffer, LengthLimits) {
    struct Case {
        std::size_t length;
        int error; // 0: fits
        std::size_t storedBytes;
    };
    const Case cases[] = {{0, 0, 0},     {1, 0, 1},       {512, 0, 512}, {513, 9, 513},
                          {514, 9, 513}, {32768, 9, 513}, {32769, 6, 0}};
    for (const auto& c : cases) {
        const std::vector<int> codes(c.length, 'a');
        PathBufferArray buffer;
        buffer.fill(0xEE);
        int error = 0;
        try {
            FillPathBuffer(codes, buffer);
        } catch (const RuntimeError& e) {
            error = e.number();
        }
        EXPECT_EQ(error, c.error) << "length " << c.length;
        const auto stored = static_cast<std::size_t>(
            std::find_if(buffer.begin(), buffer.end(), [](auto b) { return b != 'a'; }) -
            buffer.begin());
        EXPECT_EQ(stored, c.storedBytes) << "length " << c.length;
        if (c.error == 0) {
            EXPECT_EQ(buffer[c.length], 0) << "length " << c.length;
        }
    }
}

TEST(FillPathBuffer, CodeBeyondOneByteOverflows) {
    PathBufferArray buffer{};
    try {
        FillPathBuffer(std::vector<int>{'a', 0x4E2D, 'b'}, buffer);
        FAIL() << "no overflow";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), 6);
    }
    EXPECT_EQ(buffer[0], 'a');
    EXPECT_EQ(buffer[1], 0);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

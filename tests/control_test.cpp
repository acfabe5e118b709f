#include "RecordingBoard.h"
#include "control/DataWord.h"
#include "control/Guarded.h"

#include <clocale>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <string>

using namespace qd;
using namespace qd::control;

namespace {

ControlState stateFor(std::string_view device, std::int16_t mode = 0) {
    ControlState s;
    s.applyStartupDefaults();
    s.selectDevice(*findDevice(device));
    s.PowerMode = mode;
    return s;
}

std::string hex(long long v) {
    char b[32];
    std::snprintf(b, sizeof b, "%llX", v);
    return b;
}

} // namespace

TEST(ControlState, StartupDefaultsLeaveNoDevice) {
    ControlState s;
    s.DacWord = 5;
    s.PowerMode = 2;
    s.applyStartupDefaults();
    EXPECT_EQ(s.FrameLength, 24);
    EXPECT_EQ(s.Resolution, 0);
    EXPECT_EQ(s.PowerMode, 0);
    EXPECT_EQ(s.DacWord, 0);
}

TEST(ControlState, LastDeviceClickWins) {
    ControlState s;
    s.applyStartupDefaults();
    s.selectDevice(*findDevice("QD1200"));
    s.selectDevice(*findDevice("QD1600"));
    EXPECT_EQ(s.FrameLength, 24);
    EXPECT_EQ(s.Resolution, 16);
}

// Every device row in every power mode, against a frame built independently
// from the bit layout of each device.
TEST(SendDacWord, EveryDeviceAndModeFollowsTheFrameLayout) {
    for (const auto& device : kDevices) {
        const std::int32_t largest = (1 << device.resolution) - 1;
        for (const auto& mode : kPowerModes) {
            for (const std::int32_t code : {0, 1, largest / 2 + 1, largest}) {
                ControlState s = stateFor(device.caption, mode.mode);
                s.DacWord = code;
                RecordingBoard board;
                SendDacWord(s, board);

                std::int32_t expected = 0;
                if (device.frameLength == 24) {
                    expected = mode.mode << 16 | code;
                } else if (device.resolution == 14) {
                    expected = mode.mode << 14 | code;
                } else {
                    expected = mode.mode << 14 | code << 2;
                }
                const std::string what = std::string(device.caption) + " mode " +
                                         std::to_string(mode.mode) + " code " + hex(code);
                ASSERT_EQ(board.writes.size(), 1u) << what;
                EXPECT_EQ(board.writes[0].frameLength, device.frameLength) << what;
                EXPECT_EQ(hex(board.writes[0].frame), hex(expected)) << what;
                EXPECT_EQ(s.DacWord, expected) << what << ": DacWord holds the sent word";
            }
        }
    }
}

TEST(SendDacWord, WorkedValues) {
    struct Case {
        const char* device;
        std::int16_t mode;
        std::int32_t code;
        std::int32_t word;
    };
    const Case cases[] = {
        {"QD1600", 0, 0x8000, 0x8000}, {"QD1610", 2, 0xFFFF, 0x2FFFF},
        {"QD1400", 1, 0x3FFF, 0x7FFF}, {"QD1200", 0, 0x800, 0x2000},
        {"QD1200", 3, 0xFFF, 0xFFFC},  {"QD1610", 3, 0xFFFF, 0x3FFFF},
    };
    for (const auto& c : cases) {
        ControlState s = stateFor(c.device, c.mode);
        s.DacWord = c.code;
        RecordingBoard board;
        SendDacWord(s, board);
        ASSERT_EQ(board.writes.size(), 1u) << c.device;
        EXPECT_EQ(hex(board.writes[0].frame), hex(c.word))
            << c.device << " mode " << c.mode << " code " << hex(c.code);
        EXPECT_EQ(s.DacWord, c.word) << c.device;
    }
}

TEST(SendDacWord, SixteenBitFrameWithOtherResolutionSendsNothing) {
    for (const std::int16_t resolution : {0, 8, 16}) {
        ControlState s;
        s.FrameLength = 16;
        s.Resolution = resolution;
        s.DacWord = 0x123;
        RecordingBoard board;
        SendDacWord(s, board);
        EXPECT_TRUE(board.writes.empty()) << "resolution " << resolution;
        EXPECT_EQ(s.DacWord, 0x123) << "resolution " << resolution;
    }
}

TEST(SendDacWord, OverflowingWordRaisesInsteadOfWrapping) {
    ControlState s = stateFor("QD1200");
    s.DacWord = std::numeric_limits<std::int32_t>::max() / 2;
    RecordingBoard board;
    try {
        SendDacWord(s, board);
        FAIL() << "no overflow raised";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.number(), 6);
        EXPECT_STREQ(e.what(), "Overflow");
    }
    EXPECT_TRUE(board.writes.empty());

    ControlState wide = stateFor("QD1600", 3);
    wide.DacWord = std::numeric_limits<std::int32_t>::max() - 0x10000;
    EXPECT_THROW(SendDacWord(wide, board), RuntimeError);
    EXPECT_TRUE(board.writes.empty());
}

TEST(Guarded, SixteenAndThirtyTwoBitEdges) {
    EXPECT_EQ(guardedAdd16(32766, 1), 32767);
    EXPECT_THROW(guardedAdd16(32767, 1), RuntimeError);
    EXPECT_THROW(guardedAdd16(-32768, -1), RuntimeError);
    EXPECT_EQ(guardedMul16(24, 256), 6144);
    EXPECT_THROW(guardedMul16(128, 256), RuntimeError);
    EXPECT_EQ(guardedMul32(4, 0x1FFFFFFF), 0x7FFFFFFC);
    EXPECT_THROW(guardedMul32(4, 0x20000000), RuntimeError);
    EXPECT_THROW(guardedAdd32(0x7FFFFFFF, 1), RuntimeError);
    EXPECT_EQ(guardedFromDouble<std::int32_t>(2147483647.0), 2147483647);
    EXPECT_THROW(guardedFromDouble<std::int32_t>(2147483648.0), RuntimeError);
    EXPECT_THROW(guardedFromDouble<std::int32_t>(std::nan("")), RuntimeError);
    EXPECT_EQ(guardedFromDouble<std::int32_t>(2.5), 2) << "half rounds to even";
    EXPECT_EQ(guardedFromDouble<std::int32_t>(3.5), 4) << "half rounds to even";
    int array[3] = {};
    EXPECT_THROW(guardedAt(array, 3), RuntimeError);
    EXPECT_THROW(guardedAt(array, -1), RuntimeError);
}

TEST(ReverseBits, AllBytes) {
    const std::pair<int, int> listed[] = {
        {0x00, 0x00}, {0x01, 0x80}, {0x12, 0x48}, {0xA5, 0xA5}, {0xFF, 0xFF}};
    for (const auto& [in, out] : listed) {
        EXPECT_EQ(ReverseBits(static_cast<std::uint8_t>(in)), out) << "byte " << hex(in);
    }
    for (int b = 0; b < 256; ++b) {
        const auto r = ReverseBits(static_cast<std::uint8_t>(b));
        EXPECT_EQ(ReverseBits(r), b) << "byte " << hex(b) << " is not an involution";
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ((r >> (7 - i)) & 1, (b >> i) & 1) << "byte " << hex(b) << " bit " << i;
        }
    }
}

#include "RecordingBoard.h"
#include "control/DataWord.h"

#include <clocale>
#include <cmath>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using namespace qd;
using namespace qd::control;

namespace {

ControlState stateWithResolution(std::int16_t bits) {
    ControlState s;
    s.applyStartupDefaults();
    for (const auto& d : kDevices) {
        if (d.resolution == bits) {
            s.selectDevice(d);
            break;
        }
    }
    return s;
}

struct TypedCase {
    std::string typed;
    std::int16_t bits;
    std::string shown;                // "" with the focus requested: error path
    std::optional<std::int32_t> code; // what DacWord held before composing
};

// What the data-word box does with typed text, for the command and for its
// checks alone.
std::vector<TypedCase> typedTextCases() {
    const std::string longText(100000, '1');
    return {
        {"", 12, "0000", 0},
        {"7", 12, "0007", 7},
        {"7", 16, "0007", 7},
        {"fff", 12, "0FFF", 0xFFF},
        {"FFF", 12, "0FFF", 0xFFF},
        {"1000", 12, "0FFF", 0xFFF},
        {"3FFF", 14, "3FFF", 0x3FFF},
        {"4000", 14, "3FFF", 0x3FFF},
        {"12345", 16, "FFFF", 0xFFFF},
        {"FFFFFFFF", 16, "0000", 0},
        {"80000000", 12, "0000", 0},
        {"7FFFFFFF", 14, "3FFF", 0x3FFF},
        {"000000000FFF", 12, "0FFF", 0xFFF},
        {"aBc", 16, "0ABC", 0xABC},
        {"123456789", 16, "", std::nullopt},
        {"-1", 12, "", std::nullopt},
        {"+1", 12, "", std::nullopt},
        {"1 2", 12, "", std::nullopt},
        {" 12", 12, "", std::nullopt},
        {"12 ", 12, "", std::nullopt},
        {"G", 12, "", std::nullopt},
        {"&H10", 12, "", std::nullopt},
        {"0x10", 12, "", std::nullopt},
        {"１２", 12, "", std::nullopt}, // full-width digits
        {longText, 16, "", std::nullopt},
        {std::string(5000, '0') + "1", 16, "0001", 1},
    };
}

} // namespace

TEST(ProgramDac, TypedTextTable) {
    for (const auto& c : typedTextCases()) {
        const std::string what =
            "\"" + c.typed.substr(0, 20) + "\" on " + std::to_string(c.bits) + " bits";
        ControlState s = stateWithResolution(c.bits);
        s.DacWord = -7;
        RecordingBoard board;
        const ProgramOutcome out = ProgramDac(c.typed, s, board);
        EXPECT_EQ(out.text, c.shown) << what;
        EXPECT_EQ(out.failed, !c.code.has_value()) << what;
        if (c.code) {
            ASSERT_EQ(board.writes.size(), 1u) << what;
            // Compose the expected frame from the code the same way the
            // board reads it back: the data field's top bits hold the code.
            const std::int32_t frame = board.writes[0].frame;
            const std::int32_t sentCode = c.bits == 12 ? frame >> 2 : frame;
            EXPECT_EQ(sentCode, *c.code) << what;
            EXPECT_EQ(s.DacWord, frame) << what;
        } else {
            EXPECT_TRUE(board.writes.empty()) << what << ": nothing may be sent";
            EXPECT_EQ(s.DacWord, -7) << what << ": DacWord untouched";
        }
    }
}

// qdctl checks its codes with the checks alone: they must agree with the
// command on every text.
TEST(ValidateDataWord, AgreesWithTheCommand) {
    for (const auto& c : typedTextCases()) {
        const std::string what =
            "\"" + c.typed.substr(0, 20) + "\" on " + std::to_string(c.bits) + " bits";
        EXPECT_EQ(validateDataWord(c.typed, c.bits), c.code) << what;
    }
    EXPECT_EQ(validateDataWord("7", 0), 0) << "no device chosen: the largest code of 0 bits";
}

TEST(ProgramDac, FailedWriteTakesTheErrorPath) {
    ControlState s = stateWithResolution(12);
    RecordingBoard board;
    board.failWrites = true;
    const ProgramOutcome out = ProgramDac("800", s, board);
    EXPECT_TRUE(out.failed);
    EXPECT_EQ(out.text, "");
    EXPECT_EQ(s.DacWord, 0x2000) << "the composed word stays";
}

TEST(ProgramDac, NoDeviceChosenSendsNothing) {
    ControlState s;
    s.applyStartupDefaults();
    s.FrameLength = 16; // a 16-bit frame with no resolution
    RecordingBoard board;
    const ProgramOutcome out = ProgramDac("7", s, board);
    EXPECT_FALSE(out.failed);
    EXPECT_EQ(out.text, "0000") << "clamped to the largest code of 0 bits";
    EXPECT_TRUE(board.writes.empty());
}

namespace {

// Reads `raw` through ReadVoltage and returns the shown value.
double shownFor(std::int32_t raw, ControlState& s) {
    RecordingBoard board;
    board.readings = {raw};
    return ReadVoltage(s, board);
}

void checkAllReadings(const char* locale) {
    ControlState s;
    double previous = -1;
    for (std::int32_t reading = 0; reading < 4096; ++reading) {
        const double shown = shownFor(reading, s);
        ASSERT_EQ(s.AdcReading, reading) << locale;
        ASSERT_LE(shown, 4.929 + 1e-6) << locale << " reading " << reading;
        ASSERT_GE(shown, previous) << locale << " reading " << reading << " not monotonic";
        const double exact = reading / 4096.0 * 4.93;
        ASSERT_NEAR(shown, exact, 0.0005 + 1e-6) << locale << " reading " << reading;
        // At most three decimals, as a float holds them.
        ASSERT_EQ(static_cast<float>(std::round(shown * 1000) / 1000), s.OutputVoltage)
            << locale << " reading " << reading;
        previous = shown;
    }
    const std::pair<std::int32_t, float> worked[] = {
        {0, 0.0f}, {2048, 2.465f}, {4095, 4.929f}, {0xF000, 0.0f}, {0xF800, 2.465f}};
    for (const auto& [raw, volts] : worked) {
        EXPECT_EQ(shownFor(raw, s), static_cast<double>(volts)) << locale << " raw " << raw;
        EXPECT_EQ(s.OutputVoltage, volts) << locale << " raw " << raw;
    }
}

} // namespace

TEST(ReadVoltage, AllReadingsInTheCLocale) {
    checkAllReadings("C");
}

TEST(ReadVoltage, AllReadingsUnderADecimalCommaLocale) {
    const char* german = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8"}) {
        if (std::setlocale(LC_ALL, name)) {
            german = name;
            break;
        }
    }
    if (!german) {
        GTEST_SKIP() << "no decimal-comma locale installed";
    }
    checkAllReadings(german);
    std::setlocale(LC_ALL, "C");
}

TEST(ReadVoltage, SameBoardValueShowsTheSameTwice) {
    ControlState s;
    EXPECT_EQ(shownFor(1234, s), shownFor(1234, s));
}

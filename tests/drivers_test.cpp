#include "Environment.h"
#include "SimBoardTest.h"
#include "boardmodel/BoardModel.h"
#include "drivers/IntelHex.h"
#include "platform/Process.h"

#include <cmath>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>

using namespace qd::drivers;
using namespace qd::boardmodel;

namespace {

std::string errorOf(const std::string& text) {
    try {
        parseIntelHex(text);
    } catch (const IntelHexError& e) {
        return e.what();
    }
    return "";
}

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list) {
        v.push_back(static_cast<std::uint8_t>(b));
    }
    return v;
}

} // namespace

TEST(IntelHex, RecordTypes) {
    const std::string text = ":0400000001020304F2\r\n"
                             ":020000021000EC \t\r\n" // segment base 0x10000
                             ":02000000AABB99\r\n"
                             ":02000004000AF0\n" // linear base 0xA0000
                             ":01FFFF00CC35  \n"
                             ":0400000500001234B1\n"
                             ":04000003F000FFF01A\n" // CS:IP F000:FFF0
                             ":00000001FF\n";
    const HexImage image = parseIntelHex(text);
    ASSERT_EQ(image.segments.size(), 3u);
    EXPECT_EQ(image.segments[0].address, 0u);
    EXPECT_EQ(image.segments[0].data, bytes({1, 2, 3, 4}));
    EXPECT_EQ(image.segments[1].address, 0x10000u);
    EXPECT_EQ(image.segments[1].data, bytes({0xAA, 0xBB}));
    EXPECT_EQ(image.segments[2].address, 0xAFFFFu);
    EXPECT_EQ(image.segments[2].data, bytes({0xCC}));
    EXPECT_EQ(image.startAddress, 0x1234u);
    EXPECT_EQ(image.startSegmentAddress, 0xF000FFF0u);
    EXPECT_EQ(image.byteCount(), 7u);
}

TEST(IntelHex, BadImagesNameTheLine) {
    const std::string good = ":0400000001020304F2\n";
    const std::string end = ":00000001FF\n";
    struct Case {
        const char* what;
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"bad checksum", ":0400000001020304F3\n" + end, "line 1: checksum mismatch"},
        {"truncated line", ":04000000010203\n" + end, "line 1: record length 4"},
        {"odd digit count", good + ":0400000001020304F\n" + end,
         "line 2: odd number of hexadecimal digits"},
        {"unknown record type", good + ":00000006FA\n" + end, "line 2: unknown record type 06"},
        {"start segment address too short", good + ":020000030000FB\n" + end,
         "line 2: start segment address record needs 4 bytes"},
        {"leading white space", " " + good + end, "line 1: record does not start"},
        {"white space inside a record", ":04000000  01020304F2\n" + end,
         "line 1: not a hexadecimal digit"},
        {"data after end of file", good + end + good, "line 3: data after the end-of-file"},
        {"no end of file", good, "no end-of-file record"},
        {"not a digit", ":04000000010G0304F2\n" + end, "line 1: not a hexadecimal digit"},
        {"no colon", "0400000001020304F2\n" + end, "line 1: record does not start"},
        {"empty", "", "no end-of-file record"},
        {"short record", ":00\n" + end, "line 1: record too short"},
    };
    for (const auto& c : cases) {
        const std::string error = errorOf(c.text);
        EXPECT_NE(error.find(c.error), std::string::npos) << c.what << ": got \"" << error << "\"";
    }
}

// The reader takes only a regular file of a sensible size, and says so at
// once for anything else: a FIFO must not wait for a writer, a device must
// not be read until memory runs out.
TEST(IntelHex, FileReaderRefusesWhatCannotBeAnImage) {
    TempDir dir;
    const std::string image = writeIntelHex({{0, {1, 2, 3}}});
    writeFile(dir.file("good.hex"), image);
    std::filesystem::create_directory(dir.file("folder.hex"));
    writeFile(dir.file("huge.hex"), image);
    std::filesystem::resize_file(dir.file("huge.hex"), kMaxHexFileSize + 1);
    writeFile(dir.file("padded.hex"), image);
    std::filesystem::resize_file(dir.file("padded.hex"), kMaxHexFileSize);

    std::vector<ImageCase> cases = {
        {dir.file("good.hex"), ""},
        {dir.file("folder.hex"), "is a folder, not a regular file"},
        {dir.file("huge.hex"), "has 1048577 bytes, more than the 1 MiB"},
        {dir.file("padded.hex"), "line 3: data after the end-of-file record"},
        {dir.file("missing.hex"), "cannot open"},
    };
    for (auto& c : systemImageCases(dir, dir.file("good.hex"))) {
        cases.push_back(std::move(c));
    }
    for (const auto& c : cases) {
        std::string error;
        try {
            const HexImage read = readIntelHexFile(c.path);
            EXPECT_EQ(read.byteCount(), 3u) << c.path;
        } catch (const IntelHexError& e) {
            error = e.what();
        }
        if (c.error.empty()) {
            EXPECT_EQ(error, "") << c.path;
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos)
                << c.path << ": got \"" << error << "\"";
        }
    }
}

TEST(IntelHex, WriterRoundTripsAcrossA64KiBBoundary) {
    HexSegment segment{0x1FFF8, {}};
    for (int i = 0; i < 40; ++i) {
        segment.data.push_back(static_cast<std::uint8_t>(i * 7));
    }
    const std::string text = writeIntelHex({segment});
    EXPECT_NE(text.find(":020000040001F9"), std::string::npos) << text;
    EXPECT_NE(text.find(":020000040002F8"), std::string::npos) << "type 04 at the boundary";
    const HexImage image = parseIntelHex(text);
    ASSERT_EQ(image.segments.size(), 1u) << "records on both sides merge";
    EXPECT_EQ(image.segments[0].address, segment.address);
    EXPECT_EQ(image.segments[0].data, segment.data);
}

TEST(BoardModel, FramesOfEachDeviceReadBackTheirCode) {
    struct Case {
        const char* device;
        std::uint32_t frame;
        std::uint32_t index;
        std::uint16_t reading;
    };
    const Case cases[] = {
        {"QD1200 code 800", 0x2000, 0x1000, 2048},  {"QD1200 code FFF", 0x3FFC, 0x1000, 4095},
        {"QD1400 code 3FFF", 0x3FFF, 0x1000, 4095}, {"QD1400 code 1000", 0x1000, 0x1000, 1024},
        {"QD1600 code 8000", 0x8000, 0x1800, 2048}, {"QD1610 code FFFF", 0xFFFF, 0x1800, 4095},
        {"QD1610 code 10", 0x0010, 0x1800, 1},      {"QD1200 mode 1", 0x6000, 0x1001, 0},
        {"QD1200 mode 3", 0xE000, 0x1003, 0},       {"QD1600 mode 2", 0x28000, 0x1802, 0},
    };
    for (const auto& c : cases) {
        BoardModel model;
        ASSERT_TRUE(model.writeFrame(c.frame, c.index)) << c.device;
        EXPECT_EQ(model.measure(), c.reading) << c.device;
        const auto reply = model.readReply();
        EXPECT_EQ(reverseBits(reply[0]) << 8 | reverseBits(reply[1]), c.reading) << c.device;
    }
    BoardModel model;
    EXPECT_FALSE(model.writeFrame(0x2000, 0x2000)) << "32-bit frames do not exist";
    EXPECT_EQ(model.measure(), 0) << "a board just powered up outputs 0 V";
}

TEST(BoardModel, ReferenceOffAndIgnoredPowerDown) {
    BoardModel model;
    model.referenceVolts = 4.83;
    model.writeFrame(0xFFFF, 0x1800);
    EXPECT_LT(model.measure(), 4095);
    EXPECT_EQ(model.measure(), static_cast<std::uint16_t>(65535.0 / 65536 * 4.83 / 4.93 * 4096));
    model.referenceVolts = 4.93;
    model.faults.ignorePowerDown = true;
    model.writeFrame(0x38000, 0x1803);
    EXPECT_EQ(model.measure(), 2048);
}

// A step in time: the value and slope are continuous where the slew ends,
// the settling time is where the output last leaves the band, and the
// glitch's lobe comes at the major carry only.
TEST(ConverterModel, StepsMoveInTime) {
    constexpr double kVref = 4.93;
    constexpr double kUs = 1e-6;
    struct Case {
        const char* model;
        std::uint32_t from, to;
        double bandVolts;
        double settleUs; // worked out by hand
        double glitchNvs;
    };
    // slew=2,tau=1 on 0 -> FFFF: d = 4.92992 V, knee 2 V from the end after
    // (d - 2) / 2 = 1.46496 µs, then 1 µs * ln(2 V / 1 mV) = 7.60090 µs.
    const Case cases[] = {
        {"slew=2", 0x0000, 0xFFFF, 1e-3, (4.93 * 65535 / 65536 - 1e-3) / 2, 0},
        {"tau=1", 0x0000, 0xFFFF, 1e-3, std::log(4.93 * 65535 / 65536 / 1e-3), 0},
        {"slew=2,tau=1", 0x0000, 0xFFFF, 1e-3, 1.464961 + 7.600902, 0},
        {"slew=2,tau=1", 0xFFFF, 0x0000, 1e-3, 1.464961 + 7.600902, 0},
        {"slew=2,tau=1,glitch=5", 0x7FFE, 0x7FFF, 10e-6, std::log(kVref / 65536 / 10e-6), 0},
        {"slew=2,tau=1,glitch=5", 0x7FFF, 0x8000, 1e-3, -1, 5},
        {"tau=0.5,glitch=-3,glitchwidth=20", 0x8000, 0x7FFF, 1e-3, -1, -3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.model) + " " + std::to_string(c.from) + " -> " +
                     std::to_string(c.to));
        std::string why;
        const auto m = ConverterModel::parse(c.model, why);
        ASSERT_TRUE(m) << why;
        EXPECT_EQ(ConverterModel::parse(m->text(), why), m) << "its text reads back";
        const auto v = [&](double t) { return m->stepVolts(c.from, c.to, 16, kVref, t); };
        const double from = m->volts(c.from, 16, kVref, 0), to = m->volts(c.to, 16, kVref, 0);
        EXPECT_EQ(v(-kUs), from);
        EXPECT_NEAR(v(100 * kUs), to, 1e-12);
        const double settle = m->settlingSeconds(c.from, c.to, 16, kVref, c.bandVolts);
        if (c.settleUs >= 0) {
            EXPECT_NEAR(settle / kUs, c.settleUs, 1e-5);
        }
        EXPECT_GT(std::abs(v(settle * (1 - 1e-6)) - to), c.bandVolts) << "outside just before";
        for (double after : {1e-6, 0.1, 1.0, 10.0}) {
            EXPECT_LE(std::abs(v(settle * (1 + after) + 1e-12) - to), c.bandVolts) << after;
        }
        const double width = m->glitchSeconds();
        double area = 0; // the lobe: what the step does beyond the same step without it
        constexpr int kSlices = 10000;
        for (int i = 0; i < kSlices; ++i) {
            const double t = (i + 0.5) * width / kSlices;
            area += (v(t) - m->transitionVolts(from, to, false, t)) * width / kSlices;
        }
        EXPECT_NEAR(area / 1e-9, c.glitchNvs, 1e-3 * std::abs(c.glitchNvs) + 1e-9);
        EXPECT_EQ(m->glitchImpulse(c.from, c.to, 16).net, c.glitchNvs);
        if (m->slew > 0 && m->tau > 0) {
            const double d = std::abs(to - from), knee = m->slew * m->tau;
            EXPECT_EQ(m->slewRate(c.from, c.to, 16, kVref), d > knee ? m->slew : d / m->tau);
            const double t1 = (d - knee) / (m->slew * 1e6), h = 1e-12;
            if (d > knee) {
                const double left = (v(t1) - v(t1 - h)) / h, right = (v(t1 + h) - v(t1)) / h;
                EXPECT_NEAR(left / 1e6, right / 1e6, 1e-3) << "the slope at the knee";
                EXPECT_NEAR(std::abs(left) / 1e6, m->slew, 1e-3);
            }
        }
    }
    std::string why;
    EXPECT_DOUBLE_EQ(ConverterModel::parse("glitch=5", why)->glitchSeconds(), 50e-9)
        << "the default width";
    for (const char* negative : {"slew=-1", "tau=-1", "glitchwidth=-5"}) {
        EXPECT_FALSE(ConverterModel::parse(negative, why)) << negative;
    }
}

// The board keeps the frame before the last and counts the updates, so
// that the step can be seen without claiming it; without a model in time
// the output is at its new value at once.
TEST(BoardModel, TheLastStep) {
    BoardModel model;
    model.writeFrame(0x4000, 0x1800);
    model.writeFrame(0xC000, 0x1800);
    EXPECT_EQ(model.updates, 2u);
    EXPECT_EQ(model.previousValue, 0x4000u);
    EXPECT_EQ(model.stepVolts(0), model.outputVolts());
    EXPECT_EQ(model.stepVolts(-1e-9), 4.93 / 4);
    std::string why;
    model.converter = *ConverterModel::parse("slew=1", why);
    EXPECT_NEAR(model.stepVolts(1e-6), 4.93 / 4 + 1, 1e-12);
    EXPECT_NEAR(model.stepVolts(1e-3), model.outputVolts(), 1e-12);
    model.writeFrame(0x38000, 0x1803);
    EXPECT_EQ(model.stepVolts(0), 0) << "powered down: pulled to 0 V";
}

TEST_F(SimBoardTest, WriteThenReadForEachDevice) {
    struct Case {
        const char* device;
        std::uint32_t frame, index;
        std::array<std::uint8_t, 2> reply;
    };
    // 2048 = 0x0800: bytes 08 00, each reversed: 10 00.
    const Case cases[] = {{"QD1200", 0x2000, 0x1000, {0x10, 0x00}},
                          {"QD1400", 0x2000, 0x1000, {0x10, 0x00}},
                          {"QD1600", 0x8000, 0x1800, {0x10, 0x00}},
                          {"QD1610", 0xFFFF, 0x1800, {0xF0, 0xFF}}};
    SimBackend backend(config());
    auto board = backend.open(1);
    ASSERT_TRUE(board);
    ASSERT_TRUE(board->downloadFirmware(firmware()));
    for (const auto& c : cases) {
        ASSERT_TRUE(write(*board, c.frame, c.index)) << c.device;
        EXPECT_EQ(read(*board), c.reply) << c.device;
    }
}

// The converter is the board's: fitted when its record is made, seen the
// same by every process and by a probe that does not claim the board, and
// never swapped for the one another process's setting asks for.
TEST_F(SimBoardTest, TheBoardKeepsTheConverterItWasFittedWith) {
    SimConfig typical = config();
    typical.model = ConverterModel::typical();
    const double quiet = ConverterModel::typical().quietVolts(0x8000, 16, 4.93);
    {
        SimBackend backend(typical);
        auto board = backend.open(1);
        ASSERT_TRUE(board && board->downloadFirmware(firmware()));
        ASSERT_TRUE(write(*board, 0x8000, 0x1800));
        const auto reply = read(*board);
        EXPECT_EQ(reverseBits(reply[0]) << 8 | reverseBits(reply[1]),
                  static_cast<int>(std::floor(quiet / 4.93 * 4096)));
    }
    SimConfig unset = config();
    const SimOutput probe = peekSimOutput(unset);
    ASSERT_TRUE(probe.result) << probe.result.diagnostic;
    EXPECT_NEAR(probe.model.outputVolts(kMeterOutputStream, 0), quiet, 100e-6);
    EXPECT_NE(probe.model.outputVolts(kMeterOutputStream, 0),
              probe.model.outputVolts(kMeterOutputStream, 1))
        << "each look sees the converter's noise anew";
    SimBackend another(unset);
    EXPECT_TRUE(another.open(1)) << "without QD_BOARD_MODEL, the board's own converter";

    SimConfig ideal = config();
    ideal.model = ConverterModel{};
    ::testing::internal::CaptureStderr();
    LinkResult why;
    EXPECT_FALSE(SimBackend(ideal).open(1, why));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(why.status, LinkStatus::BadSetting);
    EXPECT_NE(why.diagnostic.find("QD_BOARD_MODEL: \"ideal\" refused: the board in " + state() +
                                  " is fitted with the converter \"typical\""),
              std::string::npos)
        << why.diagnostic;
    EXPECT_EQ(err, why.diagnostic + "\n");
    EXPECT_EQ(peekSimOutput(ideal).result.status, LinkStatus::BadSetting) << "a probe too";
}

// Many boards: each its own record, serial and, from a lot, converter,
// the same unit every time and another with another seed.
TEST_F(SimBoardTest, ManyBoardsEachWithItsOwnStateSerialAndConverter) {
    SimConfig lot = config();
    lot.boardCount = 3;
    lot.lotSeed = 7;
    {
        SimBackend backend(lot);
        const auto listed = backend.listBoards();
        ASSERT_EQ(listed.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(listed[static_cast<std::size_t>(i)].serial, SimConfig::serialOf(i + 1));
        }
        auto second = backend.open(2);
        ASSERT_TRUE(second && second->downloadFirmware(firmware()));
        ASSERT_TRUE(write(*second, 0x8000, 0x1800));
        EXPECT_FALSE(backend.open(4)) << "no fourth board";
    }
    EXPECT_EQ(peekSimOutput(lot.forBoard(2)).model.lastValue, 0x8000u);
    EXPECT_EQ(peekSimOutput(lot.forBoard(1)).model.lastValue, 0u) << "board 1 untouched";
    EXPECT_NE(lot.forBoard(1).statePath, lot.forBoard(2).statePath);
    EXPECT_EQ(lot.forBoard(1).statePath, state()) << "board 1 keeps the file named";

    const ConverterModel unit2 = *lot.forBoard(2).model;
    EXPECT_NE(*lot.forBoard(1).model, unit2);
    EXPECT_EQ(ConverterModel::lotUnit(7, 2), unit2) << "the same unit every time";
    EXPECT_NE(ConverterModel::lotUnit(8, 2), unit2) << "another seed, another lot";
    EXPECT_TRUE(SimBackend(lot).open(2)) << "a lot's board opened again with the same lot";
    EXPECT_EQ(SimConfig::boardOfSerial("SIM0002"), 2);
    EXPECT_EQ(SimConfig::boardOfSerial("SIM2"), 0);
}

TEST_F(SimBoardTest, StateOutlivesTheConnection) {
    {
        SimBackend backend(config());
        auto board = backend.open(1);
        ASSERT_TRUE(board->downloadFirmware(firmware()));
        ASSERT_TRUE(write(*board, 0x2000, 0x1000));
    }
    SimBackend other(config());
    EXPECT_EQ(
        other.listBoards().at(0).line(),
        "id=1 bus=sim port=- vendor=2f1a product=7c05 firmware=yes access=yes serial=SIM0001");
    auto again = other.open(1);
    EXPECT_EQ(read(*again), kMidScale);
}

TEST_F(SimBoardTest, RequestsBeforeADownloadFail) {
    for (const bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "empty state file" : "no state file");
        std::filesystem::remove(state());
        if (empty) {
            writeState("");
        }
        SimBackend backend(config());
        EXPECT_EQ(backend.listBoards().at(0).firmware, "no");
        auto board = backend.open(1);
        ASSERT_TRUE(board) << "a board just powered up";
        EXPECT_EQ(write(*board, 0x2000, 0x1000).status, LinkStatus::RequestFailed);
        LinkResult result;
        EXPECT_EQ(read(*board, &result), (std::array<std::uint8_t, 2>{0xEE, 0xEE}))
            << "buffer untouched";
        EXPECT_EQ(result.status, LinkStatus::RequestFailed);
        EXPECT_EQ(std::filesystem::file_size(state()), sizeof(SimRecord));
    }
}

TEST_F(SimBoardTest, ForeignOrCorruptImagesFailTheDownload) {
    SimBackend backend(config());
    auto board = backend.open(1);
    const std::string foreign = dir.file("foreign.hex");
    writeFile(foreign, writeIntelHex({{0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}}));
    const std::string corrupt = dir.file("corrupt.hex");
    writeFile(corrupt, ":0400000001020304F3\n:00000001FF\n");
    for (const auto& path : {foreign, corrupt, dir.file("missing.hex")}) {
        EXPECT_EQ(board->downloadFirmware(path).status, LinkStatus::BadImage) << path;
        EXPECT_FALSE(write(*board, 0x2000, 0x1000)) << path << ": no firmware runs";
    }
}

TEST_F(SimBoardTest, TraceRecordsEveryField) {
    SimBackend backend(config());
    auto board = backend.open(1);
    const std::string image = firmware();
    board->downloadFirmware(image);
    write(*board, 0x2000, 0x1000);
    read(*board);
    const auto lines = readLines(config().tracePath);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "download path=" + image + " result=ok");
    EXPECT_EQ(lines[1],
              "request code=221 value=8192 index=4096 direction=0 length=0 data= result=ok");
    EXPECT_EQ(lines[2],
              "request code=218 value=0 index=0 direction=1 length=2 data=1000 result=ok");
}

TEST_F(SimBoardTest, Faults) {
    {
        SimConfig c = config();
        c.downloadFails = true;
        SimBackend backend(c);
        EXPECT_EQ(backend.open(1)->downloadFirmware(firmware()).status, LinkStatus::DownloadFailed);
    }
    {
        SimConfig c = config();
        c.noReply = true;
        SimBackend backend(c);
        auto board = backend.open(1);
        board->downloadFirmware(firmware());
        write(*board, 0x2000, 0x1000);
        LinkResult result;
        EXPECT_EQ(read(*board, &result), (std::array<std::uint8_t, 2>{0xEE, 0xEE}));
        EXPECT_TRUE(result) << "the request succeeds, the reply stays unfilled";
    }
    {
        SimConfig c = config();
        c.unplugAfter = 2;
        SimBackend backend(c);
        auto board = backend.open(1);
        board->downloadFirmware(firmware());
        EXPECT_TRUE(write(*board, 0x2000, 0x1000));
        EXPECT_TRUE(write(*board, 0x2000, 0x1000));
        EXPECT_EQ(write(*board, 0x1000, 0x1000).status, LinkStatus::NoBoard);
        EXPECT_TRUE(backend.findBoards().empty()) << "an unplugged board is gone";
        EXPECT_EQ(board->downloadFirmware(firmware()).status, LinkStatus::NoBoard);
    }
    // The unplug was that program's: the next one finds the board plugged
    // in, still running its firmware, with the last frame written.
    SimBackend next(config());
    auto board = next.open(1);
    ASSERT_TRUE(board);
    EXPECT_EQ(read(*board), kMidScale);
}

TEST_F(SimBoardTest, OneProcessHoldsTheBoardAtATime) {
    SimBackend holder(config());
    auto first = holder.open(1);
    ASSERT_TRUE(first);
    auto second = holder.open(1);
    EXPECT_TRUE(second) << "connections of one program share its claim";

    SimBackend other(config());
    LinkResult why;
    EXPECT_FALSE(other.open(1, why));
    EXPECT_EQ(why.status, LinkStatus::Busy);
    EXPECT_EQ(why.diagnostic, "simulated board: open: board busy: held by process " +
                                  std::to_string(qd::platform::processId()) + " (" + processName() +
                                  ")");
    EXPECT_TRUE(other.listBoards().at(0).access) << "looking needs no claim";

    first.reset();
    second.reset();
    EXPECT_TRUE(other.open(1)) << "the claim ends with the last connection";
}

// An older build's board (a record of version 2) is a board just powered
// up, with the converter it was fitted with, for a probe and for a claim;
// its steps are then seen by a probe that does not claim it.
TEST_F(SimBoardTest, AnOlderBuildsBoardIsABoardJustPoweredUp) {
    SimRecord older;
    older.version = 2;
    older.firmwareLoaded = 1;
    older.modelFitted = 1;
    older.model = ConverterModel::typical();
    writeState(std::string(reinterpret_cast<const char*>(&older), SimRecord::kVersion2Size));
    const SimOutput look = peekSimOutput(config());
    ASSERT_TRUE(look.result) << look.result.diagnostic;
    EXPECT_EQ(look.model.converter, ConverterModel::typical());
    EXPECT_FALSE(look.model.written);

    SimBackend backend(config());
    auto board = backend.open(1);
    ASSERT_TRUE(board);
    EXPECT_EQ(std::filesystem::file_size(state()), sizeof(SimRecord));
    EXPECT_EQ(write(*board, 0x2000, 0x1800).status, LinkStatus::RequestFailed)
        << "its firmware is not running";
    ASSERT_TRUE(board->downloadFirmware(firmware()));
    ASSERT_TRUE(write(*board, 0x2000, 0x1800));
    ASSERT_TRUE(write(*board, 0x9000, 0x1800));
    const SimOutput step = peekSimOutput(config());
    EXPECT_EQ(step.model.converter, ConverterModel::typical());
    EXPECT_EQ(step.model.updates, 2u);
    EXPECT_TRUE(step.model.previousWritten);
    EXPECT_EQ(step.model.previousValue, 0x2000u);
    EXPECT_EQ(step.model.lastValue, 0x9000u);
}

// Anything but a board record, or a file that is not plainly the user's
// own, is refused and left exactly as it was.
TEST_F(SimBoardTest, StateFilesThatAreNotBoardRecordsAreRefusedUntouched) {
    const std::string other = dir.file("precious");
    SimRecord later;
    later.version = SimRecord::kVersion + 1;
    const std::string laterBytes(reinterpret_cast<const char*>(&later), sizeof later);
    const auto holding = [this](std::string content) {
        return [this, content] {
            writeState(content);
            return true;
        };
    };
    std::vector<StateCase> cases = {
        {"an earlier build's text state", holding("firmware=1\nunplugged=0\n"),
         "it holds 23 bytes, not a board record"},
        {"something else of a record's size", holding(std::string(sizeof(SimRecord), 'x')),
         "it holds something other than a board record"},
        {"the first version's record", holding(laterBytes.substr(0, SimRecord::kVersion1Size)),
         "a board record of version 1, which this build does not read; remove it"},
        {"a later record version", holding(laterBytes),
         "a board record of version 4, this build reads version 3"},
        {"a folder", [this] { return std::filesystem::create_directory(state()); },
         "it is a folder, not a regular file"},
    };
    for (auto& c : systemStateCases(state(), other)) {
        cases.push_back(std::move(c));
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(state());
        std::filesystem::remove(other);
        if (!c.make()) {
            std::cout << "[ SKIPPED  ] " << c.what << ": cannot be made here\n";
            continue;
        }
        const std::string before = bytesOf(state());
        const std::string otherBefore = bytesOf(other);
        SimBackend backend(config());
        EXPECT_FALSE(backend.listBoards().at(0).access);
        LinkResult why;
        EXPECT_FALSE(backend.open(1, why));
        EXPECT_EQ(why.status, LinkStatus::StateRefused);
        EXPECT_EQ(why.diagnostic.find("simulated board: state file " + state() + ": refused: "), 0u)
            << why.diagnostic;
        EXPECT_NE(why.diagnostic.find(c.reason), std::string::npos) << why.diagnostic;
        EXPECT_EQ(bytesOf(state()), before) << "the file was changed";
        EXPECT_EQ(bytesOf(other), otherBefore) << "a link's target was changed or made";
    }
}

TEST(SimConfig, SettingsItDoesNotTakeAreRefusedNotGuessed) {
    // A folder of this test's own that is surely missing: a fixed path such
    // as /nonexistent is some user's home on some systems.
    const TempDir dir;
    const std::string missingFolderTrace = dir.file("missing/trace");
    struct Case {
        const char* mistake;
        const char* variable;
        const char* value;
        double volts; // the reference taken; 0: refused
    };
    const Case cases[] = {
        {"a plain reference", "QD_BOARD_VREF", "4.5", 4.5},
        {"a reference in exponent form", "QD_BOARD_VREF", "1e-3", 0.001},
        {"the unit typed after the reference", "QD_BOARD_VREF", "4.5V", 0},
        {"a decimal comma", "QD_BOARD_VREF", "4,5", 0},
        {"a reference of zero", "QD_BOARD_VREF", "0", 0},
        {"a negative reference", "QD_BOARD_VREF", "-1", 0},
        {"an infinite reference", "QD_BOARD_VREF", "inf", 0},
        {"a reference that is no number", "QD_BOARD_VREF", "abc", 0},
        {"two faults", "QD_BOARD_FAULT", "no-reply,unplug-after=3", 4.93},
        {"a fault name misspelt", "QD_BOARD_FAULT", "download-fail", 0},
        {"a fault that does not exist", "QD_BOARD_FAULT", "no-reply,bogus", 0},
        {"an unplug without its count", "QD_BOARD_FAULT", "unplug-after=", 0},
        {"an unplug count below zero", "QD_BOARD_FAULT", "unplug-after=-1", 0},
        {"a trace in a folder that does not exist", "QD_BOARD_TRACE", missingFolderTrace.c_str(),
         0},
        {"the typical converter", "QD_BOARD_MODEL", "typical", 4.93},
        {"converter parameters", "QD_BOARD_MODEL", "gain=0.1,msb2=-3.5,seed=7", 4.93},
        {"a parameter misspelt", "QD_BOARD_MODEL", "ofset=1", 0},
        {"a parameter without its value", "QD_BOARD_MODEL", "gain=", 0},
        {"negative noise", "QD_BOARD_MODEL", "noise=-1", 0},
        {"a converter that moves in time", "QD_BOARD_MODEL", "slew=2,tau=1,glitch=5", 4.93},
        {"a negative time constant", "QD_BOARD_MODEL", "tau=-1", 0},
        {"a seed with a fraction", "QD_BOARD_MODEL", "seed=1.5", 0},
        {"a model's name misspelt", "QD_BOARD_MODEL", "typ", 0},
        {"a lot", "QD_BOARD_MODEL", "lot:seed=3", 4.93},
        {"a lot's seed without its name", "QD_BOARD_MODEL", "lot:3", 0},
        {"eight boards", "QD_BOARD_COUNT", "8", 4.93},
        {"no boards", "QD_BOARD_COUNT", "0", 0},
        {"more boards than a bus holds", "QD_BOARD_COUNT", "65", 0},
        {"a count that is no number", "QD_BOARD_COUNT", "4x", 0},
    };
    for (const auto& c : cases) {
        const Environment env{{"QD_BOARD_VREF", nullptr},  {"QD_BOARD_FAULT", nullptr},
                              {"QD_BOARD_TRACE", nullptr}, {"QD_BOARD_MODEL", nullptr},
                              {"QD_BOARD_COUNT", nullptr}, {c.variable, c.value}};
        ::testing::internal::CaptureStderr();
        double volts = 0;
        LinkResult refused;
        try {
            volts = SimConfig::fromEnvironment().referenceVolts;
        } catch (const LinkFailure& e) {
            refused = e.result();
        }
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(volts, c.volts) << c.mistake;
        if (c.volts == 0) {
            EXPECT_EQ(refused.status, LinkStatus::BadSetting) << c.mistake;
            EXPECT_NE(refused.diagnostic.find(std::string(c.variable) + ": \"" + c.value +
                                              "\" refused; it takes "),
                      std::string::npos)
                << c.mistake << ": " << refused.diagnostic;
            EXPECT_EQ(err, refused.diagnostic + "\n") << c.mistake << ": one line, the reason";
        } else {
            EXPECT_EQ(err, "") << c.mistake;
        }
    }
}

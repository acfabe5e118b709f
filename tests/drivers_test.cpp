#include "TempDir.h"
#include "drivers/BoardModel.h"
#include "drivers/IntelHex.h"
#include "drivers/SimBoard.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace qd::drivers;

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
    std::filesystem::create_symlink(dir.file("good.hex"), dir.file("link.hex"));
    ASSERT_EQ(::mkfifo(dir.file("fifo.hex").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.file("folder.hex"));
    writeFile(dir.file("huge.hex"), image);
    std::filesystem::resize_file(dir.file("huge.hex"), kMaxHexFileSize + 1);
    writeFile(dir.file("padded.hex"), image);
    std::filesystem::resize_file(dir.file("padded.hex"), kMaxHexFileSize);

    struct Case {
        std::string path;
        const char* error; // empty: read
    };
    const Case cases[] = {
        {dir.file("good.hex"), ""},
        {dir.file("link.hex"), ""},
        {dir.file("fifo.hex"), "is a FIFO, not a regular file"},
        {dir.file("folder.hex"), "is a folder, not a regular file"},
        {"/dev/zero", "is a character device, not a regular file"},
        {dir.file("huge.hex"), "has 1048577 bytes, more than the 1 MiB"},
        {dir.file("padded.hex"), "line 3: data after the end-of-file record"},
        {dir.file("missing.hex"), "cannot open"},
    };
    for (const auto& c : cases) {
        std::string error;
        try {
            const HexImage read = readIntelHexFile(c.path);
            EXPECT_EQ(read.byteCount(), 3u) << c.path;
        } catch (const IntelHexError& e) {
            error = e.what();
        }
        if (*c.error == '\0') {
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

namespace {

class SimBoardTest : public ::testing::Test {
  protected:
    SimBoardConfig config() const {
        SimBoardConfig c;
        c.statePath = dir.file("board.state");
        c.tracePath = dir.file("trace");
        return c;
    }
    std::string firmware() const {
        HexSegment s{0, {kFirmwareMagic.begin(), kFirmwareMagic.end()}};
        s.data.push_back(kFirmwareMajor);
        s.data.push_back(0);
        const std::string path = dir.file("QD1600.hex");
        writeFile(path, writeIntelHex({s}));
        return path;
    }
    static bool write(BoardConnection& c, std::uint32_t frame, std::uint32_t index) {
        VendorRequest r;
        r.code = 221;
        r.value = frame;
        r.index = index;
        std::uint8_t unused = 0;
        r.buffer = &unused;
        return c.request(r);
    }
    static std::array<std::uint8_t, 2> read(BoardConnection& c, bool* ok = nullptr) {
        std::array<std::uint8_t, 2> buffer{0xEE, 0xEE};
        VendorRequest r;
        r.code = 218;
        r.direction = 1;
        r.length = 2;
        r.buffer = buffer.data();
        const bool result = c.request(r);
        if (ok) {
            *ok = result;
        }
        return buffer;
    }

    TempDir dir;
};

} // namespace

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

TEST_F(SimBoardTest, StateOutlivesTheConnection) {
    {
        SimBackend backend(config());
        auto board = backend.open(1);
        ASSERT_TRUE(board->downloadFirmware(firmware()));
        ASSERT_TRUE(write(*board, 0x2000, 0x1000));
    }
    SimBackend other(config());
    auto again = other.open(1);
    EXPECT_EQ(read(*again), (std::array<std::uint8_t, 2>{0x10, 0x00}));
}

TEST_F(SimBoardTest, RequestsBeforeADownloadFail) {
    SimBackend backend(config());
    auto board = backend.open(1);
    bool ok = true;
    EXPECT_FALSE(write(*board, 0x2000, 0x1000));
    const auto reply = read(*board, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(reply, (std::array<std::uint8_t, 2>{0xEE, 0xEE})) << "buffer untouched";
}

TEST_F(SimBoardTest, ForeignOrCorruptImagesFailTheDownload) {
    SimBackend backend(config());
    auto board = backend.open(1);
    const std::string foreign = dir.file("foreign.hex");
    writeFile(foreign, writeIntelHex({{0, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}}));
    const std::string corrupt = dir.file("corrupt.hex");
    writeFile(corrupt, ":0400000001020304F3\n:00000001FF\n");
    for (const auto& path : {foreign, corrupt, dir.file("missing.hex")}) {
        EXPECT_FALSE(board->downloadFirmware(path)) << path;
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
        SimBoardConfig c = config();
        c.downloadFails = true;
        SimBackend backend(c);
        EXPECT_FALSE(backend.open(1)->downloadFirmware(firmware()));
    }
    {
        SimBoardConfig c = config();
        c.noReply = true;
        SimBackend backend(c);
        auto board = backend.open(1);
        board->downloadFirmware(firmware());
        write(*board, 0x2000, 0x1000);
        bool ok = false;
        EXPECT_EQ(read(*board, &ok), (std::array<std::uint8_t, 2>{0xEE, 0xEE}));
        EXPECT_TRUE(ok) << "the request succeeds, the reply stays unfilled";
    }
    {
        SimBoardConfig c = config();
        c.unplugAfter = 2;
        SimBackend backend(c);
        auto board = backend.open(1);
        board->downloadFirmware(firmware());
        EXPECT_TRUE(write(*board, 0x2000, 0x1000));
        EXPECT_TRUE(write(*board, 0x2000, 0x1000));
        EXPECT_FALSE(write(*board, 0x2000, 0x1000));
        EXPECT_TRUE(backend.findBoards().empty()) << "an unplugged board is gone";
        EXPECT_FALSE(board->downloadFirmware(firmware()));
    }
}

// What only Windows has: device names, reparse points, owners by SID, and
// the state's place under %LOCALAPPDATA%.

#include "Environment.h"
#include "SimBoardTest.h"

#include <functional>
#include <windows.h>

TEST(IntelHex, FileReaderRefusesWhatCannotBeAnImage) {
    TempDir dir;
    const std::string image = writeIntelHex({{0, {1, 2, 3}}});
    writeFile(dir.file("good.hex"), image);
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
        {dir.file("folder.hex"), "is a folder, not a regular file"},
        {"NUL", "is a device, not a regular file"},
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

namespace {

// A symbolic link, if this system makes one: Wine 8 reports success and
// makes nothing.
bool makeSymbolicLink(const std::string& link, const std::string& target) {
    const std::wstring name = std::filesystem::path(link).wstring();
    ::CreateSymbolicLinkW(name.c_str(), std::filesystem::path(target).wstring().c_str(),
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

} // namespace

// Anything but a board record is refused and left exactly as it was.
TEST_F(SimBoardTest, StateFilesThatAreNotBoardRecordsAreRefusedUntouched) {
    const std::string other = dir.file("precious");
    SimRecord later;
    later.version = SimRecord::kVersion + 1;
    const std::string laterBytes(reinterpret_cast<const char*>(&later), sizeof later);
    struct Case {
        const char* what;
        std::function<bool()> make; // false: this system cannot make it
        const char* reason;
    };
    const Case cases[] = {
        {"an earlier build's text state",
         [&] {
             writeFile(state(), "firmware=1\nunplugged=0\n");
             return true;
         },
         "it holds 23 bytes, not a board record"},
        {"something else of a record's size",
         [&] {
             writeFile(state(), std::string(sizeof(SimRecord), 'x'));
             return true;
         },
         "it holds something other than a board record"},
        {"a later record version",
         [&] {
             writeFile(state(), laterBytes);
             return true;
         },
         "a board record of version 3, this build reads version 2"},
        {"a folder", [&] { return std::filesystem::create_directory(state()); },
         "it is a folder, not a regular file"},
        {"a symbolic link to another file",
         [&] {
             writeFile(other, "keep me");
             return makeSymbolicLink(state(), other);
         },
         "it is a reparse point"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(state());
        std::filesystem::remove(other);
        if (!c.make()) {
            std::cout << "[ SKIPPED  ] " << c.what << ": this system cannot make one\n";
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

TEST_F(SimBoardTest, TheStateLivesInAFolderOfItsOwnUnderLocalAppData) {
    const std::string local = dir.file("Local");
    std::filesystem::create_directory(local);
    const Environment env{{"QD_BOARD_STATE", nullptr}, {"LOCALAPPDATA", local.c_str()}};
    SimConfig c = SimConfig::fromEnvironment();
    EXPECT_EQ(c.privateFolder, local + "\\QD1600");
    EXPECT_EQ(c.statePath, local + "\\QD1600\\board.state");
    c.claimWait = std::chrono::milliseconds(0);
    {
        SimBackend backend(c);
        LinkResult why;
        EXPECT_TRUE(backend.open(1, why)) << why.diagnostic;
        EXPECT_EQ(std::filesystem::file_size(c.statePath), sizeof(SimRecord));
    }

    // A file where the folder should be is refused, and left as it was.
    std::filesystem::remove_all(c.privateFolder);
    writeFile(c.privateFolder, "mine");
    SimBackend backend(c);
    LinkResult why;
    EXPECT_FALSE(backend.open(1, why));
    EXPECT_EQ(why.status, LinkStatus::StateRefused);
    EXPECT_NE(
        why.diagnostic.find("state folder " + c.privateFolder + ": refused: it is not a folder"),
        std::string::npos)
        << why.diagnostic;
    EXPECT_EQ(bytesOf(c.privateFolder), "mine");
}

// What only Windows has: device names, reparse points, owners by SID, and
// the state's place under %LOCALAPPDATA%.

#include "Environment.h"
#include "SimBoardTest.h"

#include <windows.h>

std::vector<ImageCase> systemImageCases(const TempDir&, const std::string&) {
    // NUL is a device whatever folder it seems to be in.
    return {{"NUL", "is a device, not a regular file"}};
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

std::vector<StateCase> systemStateCases(const std::string& state, const std::string& other) {
    return {
        {"a symbolic link to another file",
         [=] {
             writeFile(other, "keep me");
             return makeSymbolicLink(state, other);
         },
         "it is a reparse point"},
    };
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

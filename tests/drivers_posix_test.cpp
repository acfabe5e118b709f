// What only POSIX systems have: FIFOs and devices, fork and SIGSTOP, flock,
// symbolic links, modes and owners.

#include "Environment.h"
#include "SimBoardTest.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

std::vector<ImageCase> systemImageCases(const TempDir& dir, const std::string& good) {
    std::filesystem::create_symlink(good, dir.file("link.hex"));
    EXPECT_EQ(::mkfifo(dir.file("fifo.hex").c_str(), 0600), 0);
    return {
        {dir.file("link.hex"), ""},
        {dir.file("fifo.hex"), "is a FIFO, not a regular file"},
        {"/dev/zero", "is a character device, not a regular file"},
    };
}

// Writes go straight into the mapped record: a process killed right after
// a request leaves its frame for the next one.
TEST_F(SimBoardTest, AKilledProcessLeavesItsLastFrame) {
    const std::string image = firmware();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SimBackend backend(config());
        auto board = backend.open(1);
        const bool ok = board && board->downloadFirmware(image) && write(*board, 0x2000, 0x1000);
        ::raise(ok ? SIGKILL : SIGABRT);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child's steps failed";
    SimBackend next(config());
    auto board = next.open(1);
    ASSERT_TRUE(board);
    EXPECT_EQ(read(*board), kMidScale);
}

// A holder that never lets go (stopped, or a `flock` command on the file)
// makes others wait no longer than the claim's bound, and is named.
TEST_F(SimBoardTest, AStoppedHolderIsNamedAfterABoundedWait) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(state().c_str(), O_RDWR | O_CREAT, 0600);
        if (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && ::write(ready[1], "x", 1) == 1) {
            ::raise(SIGSTOP);
        }
        ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1) << "the child did not lock the file";
    ::close(ready[0]);

    SimConfig c = config();
    c.claimWait = std::chrono::milliseconds(100);
    SimBackend backend(c);
    LinkResult why;
    EXPECT_FALSE(backend.open(1, why));
    EXPECT_EQ(why.status, LinkStatus::Busy);
    EXPECT_NE(why.diagnostic.find("board busy: held by process " + std::to_string(child) + " (" +
                                  processName() + ")"),
              std::string::npos)
        << why.diagnostic;

    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(backend.open(1));
}

std::vector<StateCase> systemStateCases(const std::string& state, const std::string& other) {
    return {
        {"a symlink to another file",
         [=] {
             writeFile(other, "keep me");
             std::filesystem::create_symlink(other, state);
             return true;
         },
         "it is a symbolic link"},
        {"a symlink to nothing",
         [=] {
             std::filesystem::create_symlink(other, state);
             return true;
         },
         "it is a symbolic link"},
        {"a FIFO", [=] { return ::mkfifo(state.c_str(), 0600) == 0; },
         "it is a FIFO, not a regular file"},
        {"a board record others may write",
         [=] {
             const SimRecord fresh;
             writeFile(state, std::string(reinterpret_cast<const char*>(&fresh), sizeof fresh));
             return ::chmod(state.c_str(), 0666) == 0;
         },
         "others may write it (mode 0666)"},
        // Only root can give a file away.
        {"someone else's board record",
         [=] {
             const SimRecord fresh;
             writeFile(state, std::string(reinterpret_cast<const char*>(&fresh), sizeof fresh));
             return ::geteuid() == 0 && ::chown(state.c_str(), 65534, 65534) == 0;
         },
         "it belongs to user 65534"},
    };
}

TEST_F(SimBoardTest, TheDefaultFolderMustBePrivate) {
    const std::string folder = dir.file("qd1600-private");
    const std::string elsewhere = dir.file("elsewhere");
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* reason; // empty: used
        bool asRoot = false;
    };
    const Case cases[] = {
        {"missing: made private", [] {}, ""},
        {"shared with the group",
         [&] {
             std::filesystem::create_directory(folder);
             ::chmod(folder.c_str(), 0750);
         },
         "others may use it (mode 0750)"},
        {"a symlink to a private folder",
         [&] {
             std::filesystem::create_directory(elsewhere);
             ::chmod(elsewhere.c_str(), 0700);
             std::filesystem::create_directory_symlink(elsewhere, folder);
         },
         "it is a symbolic link"},
        {"someone else's",
         [&] {
             std::filesystem::create_directory(folder);
             ::chmod(folder.c_str(), 0700);
             EXPECT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
         },
         "it belongs to user 65534", true},
    };
    for (const auto& c : cases) {
        if (c.asRoot && ::geteuid() != 0) {
            continue;
        }
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(folder);
        std::filesystem::remove_all(elsewhere);
        c.make();
        SimConfig config = this->config();
        config.privateFolder = folder;
        config.statePath = folder + "/board.state";
        SimBackend backend(config);
        LinkResult why;
        const bool opened = backend.open(1, why) != nullptr;
        if (*c.reason == '\0') {
            EXPECT_TRUE(opened) << why.diagnostic;
            EXPECT_EQ(std::filesystem::status(folder).permissions(),
                      std::filesystem::perms::owner_all);
            continue;
        }
        EXPECT_FALSE(opened);
        EXPECT_EQ(why.status, LinkStatus::StateRefused);
        EXPECT_NE(why.diagnostic.find("state folder " + folder + ": refused: " + c.reason),
                  std::string::npos)
            << why.diagnostic;
        EXPECT_FALSE(std::filesystem::exists(elsewhere + "/board.state"));
    }
}

TEST(SimConfig, WhereTheStateLives) {
    const std::string uid = std::to_string(::geteuid());
    struct Case {
        const char *state, *runtime, *tmp;
        std::string path, folder;
    };
    const Case cases[] = {
        {"/x/my.state", "/run/user/7", "/t", "/x/my.state", ""},
        {nullptr, "/run/user/7", "/t", "/run/user/7/qd1600-board.state", ""},
        {nullptr, nullptr, "/t", "/t/qd1600-" + uid + "/board.state", "/t/qd1600-" + uid},
        {nullptr, nullptr, nullptr, "/tmp/qd1600-" + uid + "/board.state", "/tmp/qd1600-" + uid},
    };
    for (const auto& c : cases) {
        const Environment env{
            {"QD_BOARD_STATE", c.state}, {"XDG_RUNTIME_DIR", c.runtime}, {"TMPDIR", c.tmp}};
        const SimConfig config = SimConfig::fromEnvironment();
        EXPECT_EQ(config.statePath, c.path) << c.path;
        EXPECT_EQ(config.privateFolder, c.folder) << c.path;
    }
}

// Another process may empty, cut, replace or overwrite the state file while
// a program holds the board (the lock is advisory): the holder sees a board
// whose power was cut, never a signal, and the board is its own again.
//
// What is done to the file's bytes shows in the record, which every request
// checks; a file replaced or removed shows only to a look at the open file,
// which a request makes once per lookEvery at most, so as to cost no system
// call. With a look at every request the next request finds each change;
// with none due within the test it finds only what the bytes show, and the
// board goes on with the file that lost its name; with the default, a
// request soon after finds it, each one before it reading the board as it
// was (they are looped over up to a deadline that only a hang reaches).
TEST_F(SimBoardTest, AStateFileChangedUnderItsHolderIsAPowerCycle) {
    using namespace std::chrono_literals;
    const std::string copy = dir.file("copy.state");
    const auto cut = [this](off_t size) {
        return [=, this] { return ::truncate(state().c_str(), size) == 0; };
    };
    struct Case {
        const char* what;
        std::function<bool()> change;
        bool inBytes;
    };
    const Case cases[] = {
        {"emptied", cut(0), true},
        {"cut to 1 byte", cut(1), true},
        {"replaced by a copy of itself",
         [&] {
             std::filesystem::copy_file(state(), copy);
             return ::rename(copy.c_str(), state().c_str()) == 0;
         },
         false},
        {"removed", [this] { return std::filesystem::remove(state()); }, false},
        {"overwritten",
         [this] {
             writeFile(state(), std::string(sizeof(SimRecord), 'x'));
             return true;
         },
         true},
    };
    const std::chrono::milliseconds looks[] = {0ms, SimConfig{}.lookEvery, 24h};
    for (const auto every : looks) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", a look every " + std::to_string(every.count()) +
                         " ms");
            std::filesystem::remove(state());
            SimConfig looking = config();
            looking.lookEvery = every;
            SimBackend backend(looking);
            auto board = backend.open(1);
            ASSERT_TRUE(board && board->downloadFirmware(firmware()) &&
                        write(*board, 0x2000, 0x1000));
            ASSERT_TRUE(c.change());
            const bool atOnce = c.inBytes || every == 0ms;
            const bool noLook = !atOnce && every == 24h;
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            LinkResult result;
            std::array<std::uint8_t, 2> reading{};
            int made = 0;
            ::testing::internal::CaptureStderr();
            do {
                result = {};
                reading = read(*board, &result);
                ++made;
            } while (!atOnce && result && reading == kMidScale &&
                     (noLook ? made < 100 : std::chrono::steady_clock::now() < deadline));
            ::testing::internal::GetCapturedStderr();
            if (noLook) {
                EXPECT_TRUE(result && reading == kMidScale) << "looked at: " << result.diagnostic;
                continue;
            }
            EXPECT_EQ(result.status, LinkStatus::RequestFailed);
            EXPECT_NE(result.diagnostic.find("no firmware loaded: the board lost its power"),
                      std::string::npos)
                << result.diagnostic;
            EXPECT_FALSE(SimBackend(config()).open(1)) << "still held";
            ASSERT_TRUE(board->downloadFirmware(firmware()));
            EXPECT_TRUE(write(*board, 0x2000, 0x1000));
            EXPECT_EQ(read(*board), kMidScale);
        }
    }
}

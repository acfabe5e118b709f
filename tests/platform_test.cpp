// The system's primitives as the rest of the tree relies on them, on every
// system the tree is built for.

#include "platform/DeviceFile.h"
#include "platform/Error.h"
#include "platform/File.h"
#include "platform/Lock.h"
#include "platform/MappedRecord.h"

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <string>

namespace {

using namespace qd::platform;
namespace fs = std::filesystem;

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ =
            fs::temp_directory_path() / ("qd-platform-" + std::to_string(std::random_device{}()));
        fs::create_directories(folder_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
    std::string path(const char* name) const { return (folder_ / name).string(); }

    fs::path folder_;
};

// Closes a file when the test leaves, also on a failed assertion.
struct Opened {
    explicit Opened(FileHandle f) : file(f) {}
    ~Opened() {
        if (file != kNoFile) {
            closeFile(file);
        }
    }
    FileHandle file;
};

TEST_F(PlatformTest, ALockIsHeldAgainstAnotherHandleUntilLetGo) {
    const Opened first(openUnfollowed(path("state"), Access::ReadWriteOrCreate));
    const Opened second(openUnfollowed(path("state"), Access::ReadWriteOrCreate));
    ASSERT_NE(first.file, kNoFile) << lastErrorText();
    ASSERT_NE(second.file, kNoFile) << lastErrorText();
    std::string why;
    ASSERT_EQ(tryLock(first.file, why), LockAttempt::Taken) << why;
    EXPECT_EQ(lockWithin(second.file, std::chrono::milliseconds(0), why), LockAttempt::Held);
    EXPECT_EQ(tryLock(second.file, why), LockAttempt::Held);
    unlock(first.file);
    EXPECT_EQ(lockWithin(second.file, std::chrono::milliseconds(0), why), LockAttempt::Taken)
        << why;
}

// What goes through the mapping is in the file for whoever reads it, and the
// other way round.
TEST_F(PlatformTest, AMappedRecordIsTheFilesBytes) {
    const Opened file(openUnfollowed(path("record"), Access::ReadWriteOrCreate));
    ASSERT_NE(file.file, kNoFile) << lastErrorText();
    std::array<char, 32> bytes{};
    ASSERT_TRUE(writeAt(file.file, bytes.data(), bytes.size(), 0)) << lastErrorText();
    std::string why;
    auto* record = static_cast<char*>(mapRecord(file.file, bytes.size(), why));
    ASSERT_NE(record, nullptr) << why;
    std::memcpy(record, "mapped", 6);
    const Opened reader(openUnfollowed(path("record"), Access::Read));
    ASSERT_TRUE(readAt(reader.file, bytes.data(), bytes.size(), 0)) << lastErrorText();
    EXPECT_EQ(std::string(bytes.data(), 6), "mapped");
    ASSERT_TRUE(writeAt(file.file, "written", 7, 8));
    EXPECT_EQ(std::string(record + 8, 7), "written");
    unmapRecord(record, bytes.size());
}

TEST_F(PlatformTest, AFileIsNeverOpenedThroughALink) {
    std::ofstream(path("target")) << "board";
    std::error_code error;
    fs::create_symlink(path("target"), path("link"), error);
    if (error) {
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    }
    for (const Access access : {Access::Read, Access::ReadWriteOrCreate}) {
        const Opened file(openUnfollowed(path("link"), access));
        std::array<char, 5> bytes{};
        // Refused (POSIX), or the link itself (Windows): never its target.
        EXPECT_TRUE(file.file == kNoFile || !readAt(file.file, bytes.data(), bytes.size(), 0) ||
                    std::string(bytes.data(), bytes.size()) != "board")
            << "access " << static_cast<int>(access);
    }
}

// One line, as the rest of a diagnostic is, whatever the system says.
TEST(PlatformErrorTest, TextsAreOneLineWithoutAFullStop) {
    for (const long code : {1L, 2L, 5L, 13L, 999999L}) {
        const std::string text = errorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code << ": " << text;
        EXPECT_NE(text.back(), '.') << code << ": " << text;
    }
}

// A USBTMC meter is such a file: what it takes and gives, and why one that
// cannot be opened was refused.
TEST(PlatformDeviceTest, ADeviceFileTakesAndGivesAsItsDriverDoes) {
    if (!hasDeviceFiles()) {
        GTEST_SKIP() << "this system's drivers offer no device files";
    }
    struct Case {
        const char* path;
        bool opens;
    };
    for (const Case c : {Case{"/dev/null", true}, Case{"/dev/qd-no-such-meter", false}}) {
        const DeviceHandle device = openDevice(c.path);
        ASSERT_EQ(device != kNoDevice, c.opens) << c.path;
        if (device == kNoDevice) {
            EXPECT_FALSE(deviceAccessDenied()) << c.path;
            continue;
        }
        EXPECT_EQ(writeDevice(device, "*IDN?\n"), 6) << c.path;
        std::array<char, 16> chunk{};
        EXPECT_EQ(readDevice(device, chunk.data(), chunk.size()), 0) << c.path;
        closeDevice(device);
    }
}

} // namespace

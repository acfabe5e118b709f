#pragma once

// The simulated board in a folder of its own, with its firmware, and one
// write and one read request as the programs send them.

#include "TempDir.h"
#include "drivers/IntelHex.h"
#include "drivers/SimBoard.h"
#include "drivers/SimFirmware.h"
#include "drivers/SimState.h"
#include "platform/Process.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

using namespace qd::drivers;

// A path the firmware reader is given, and what it must say: "" for an
// image it reads.
struct ImageCase {
    std::string path;
    std::string error;
};
// The cases only this system has, beside the image `good` in `dir`.
std::vector<ImageCase> systemImageCases(const TempDir& dir, const std::string& good);

// A state file that must be refused: how to make one (false where this
// system or user cannot), and the reason the refusal gives.
struct StateCase {
    const char* what;
    std::function<bool()> make;
    const char* reason;
};
// The cases only this system has, for the state file `state`; `other` is a
// file a link may lead to.
std::vector<StateCase> systemStateCases(const std::string& state, const std::string& other);

class SimBoardTest : public ::testing::Test {
  protected:
    SimConfig config() const {
        SimConfig c;
        c.statePath = state();
        c.tracePath = dir.file("trace");
        c.claimWait = std::chrono::milliseconds(0);
        return c;
    }
    std::string state() const { return dir.file("board.state"); }
    // A state file of the user's alone, whatever the umask: one that others
    // may write is refused.
    void writeState(const std::string& content) const {
        writeFile(state(), content);
        std::filesystem::permissions(state(), std::filesystem::perms::owner_read |
                                                  std::filesystem::perms::owner_write);
    }
    std::string firmware() const {
        HexSegment s{0, {kFirmwareMagic.begin(), kFirmwareMagic.end()}};
        s.data.push_back(kFirmwareMajor);
        s.data.push_back(0);
        const std::string path = dir.file("QD1600.hex");
        writeFile(path, writeIntelHex({s}));
        return path;
    }
    static LinkResult write(BoardConnection& c, std::uint32_t frame, std::uint32_t index) {
        VendorRequest r;
        r.code = 221;
        r.value = frame;
        r.index = index;
        std::uint8_t unused = 0;
        r.buffer = &unused;
        return c.request(r);
    }
    static std::array<std::uint8_t, 2> read(BoardConnection& c, LinkResult* result = nullptr) {
        std::array<std::uint8_t, 2> buffer{0xEE, 0xEE};
        VendorRequest r;
        r.code = 218;
        r.direction = 1;
        r.length = 2;
        r.buffer = buffer.data();
        LinkResult outcome = c.request(r);
        if (result) {
            *result = std::move(outcome);
        }
        return buffer;
    }
    // A regular file's bytes; anything else only by its kind, since reading
    // a FIFO would wait for a writer.
    static std::string bytesOf(const std::string& path) {
        const auto status = std::filesystem::symlink_status(path);
        if (!std::filesystem::is_regular_file(status)) {
            return "not a regular file, type " + std::to_string(static_cast<int>(status.type()));
        }
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    static std::string processName() { return qd::platform::processName(); }

    TempDir dir;
};

inline const std::array<std::uint8_t, 2> kMidScale = {0x10, 0x00}; // 2048, each byte reversed

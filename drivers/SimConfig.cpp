#include "drivers/SimConfig.h"

#include "drivers/Backend.h"
#include "platform/File.h"
#include "platform/Process.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace qd::drivers {

namespace {

const char* const kLibrary = "simulated board";
constexpr int kMostBoards = 64;

std::string envOr(const char* name, const std::string& fallback) {
    std::string value = qd::platform::environment(name);
    return value.empty() ? fallback : value;
}

void placeState(SimConfig& c) {
    c.statePath = envOr("QD_BOARD_STATE", "");
    if (!c.statePath.empty()) {
        return;
    }
    const qd::platform::PrivatePlace place = qd::platform::privatePlace("board.state");
    c.statePath = place.file;
    c.privateFolder = place.privateFolder;
}

const char* const kFaultsTaken = "download-fails, unplug-after=N, no-reply and ignore-power-down, "
                                 "separated by commas";

void parseFaults(SimConfig& c, const std::string& faults) {
    std::string_view rest = faults;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string fault(rest.substr(0, comma));
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        constexpr std::string_view unplug = "unplug-after=";
        if (fault == "download-fails") {
            c.downloadFails = true;
        } else if (fault == "no-reply") {
            c.noReply = true;
        } else if (fault == "ignore-power-down") {
            c.ignorePowerDown = true;
        } else if (fault.rfind(unplug, 0) == 0) {
            const std::string_view digits = std::string_view(fault).substr(unplug.size());
            long n = -1;
            const auto [end, ec] = std::from_chars(digits.begin(), digits.end(), n);
            if (ec != std::errc() || end != digits.end() || n < 0) {
                refuseSetting(kLibrary, "QD_BOARD_FAULT", faults, kFaultsTaken);
            }
            c.unplugAfter = n;
        } else if (!fault.empty()) {
            refuseSetting(kLibrary, "QD_BOARD_FAULT", faults, kFaultsTaken);
        }
    }
}

// A trace that cannot be written would leave a test without its evidence:
// found out now, before the board is touched.
void checkTrace(const std::string& path) {
    if (path.empty()) {
        return;
    }
    std::string why;
    const int fd = qd::platform::openForAppend(path, why);
    if (fd < 0) {
        refuseSetting(kLibrary, "QD_BOARD_TRACE", path, "a file this user may write (" + why + ")");
    }
    qd::platform::closeDescriptor(fd);
}

} // namespace

SimConfig SimConfig::fromEnvironment() {
    SimConfig c;
    placeState(c);
    c.tracePath = envOr("QD_BOARD_TRACE", "");
    checkTrace(c.tracePath);
    const std::string vref = envOr("QD_BOARD_VREF", "");
    if (!vref.empty()) {
        // Not strtod: the program's locale may want a decimal comma.
        double v = 0;
        const char* last = vref.data() + vref.size();
        const auto [end, ec] = std::from_chars(vref.data(), last, v);
        if (ec != std::errc() || end != last || !std::isfinite(v) || !(v > 0)) {
            refuseSetting(kLibrary, "QD_BOARD_VREF", vref,
                          "a reference voltage above 0 in volts, such as 4.93");
        }
        c.referenceVolts = v;
    }
    parseFaults(c, envOr("QD_BOARD_FAULT", ""));
    if (const std::string count = envOr("QD_BOARD_COUNT", ""); !count.empty()) {
        int n = 0;
        const char* last = count.data() + count.size();
        const auto [end, ec] = std::from_chars(count.data(), last, n);
        if (ec != std::errc() || end != last || n < 1 || n > kMostBoards) {
            refuseSetting(kLibrary, "QD_BOARD_COUNT", count, "a number of boards from 1 to 64");
        }
        c.boardCount = n;
    }
    if (const std::string model = envOr("QD_BOARD_MODEL", ""); model.rfind("lot", 0) == 0) {
        std::uint64_t seed = 0;
        const std::string_view rest = std::string_view(model).substr(3);
        constexpr std::string_view seedIs = ":seed=";
        if (!rest.empty()) {
            const std::string_view digits =
                rest.rfind(seedIs, 0) == 0 ? rest.substr(seedIs.size()) : std::string_view();
            const auto [end, ec] = std::from_chars(digits.begin(), digits.end(), seed);
            if (digits.empty() || ec != std::errc() || end != digits.end()) {
                refuseSetting(kLibrary, "QD_BOARD_MODEL", model,
                              "lot or lot:seed=S with S a whole number of 0 or more");
            }
        }
        c.lotSeed = seed;
        c.model = ConverterModel::lotUnit(seed, 1);
    } else if (!model.empty()) {
        std::string why;
        c.model = ConverterModel::parse(model, why);
        if (!c.model) {
            refuseSetting(kLibrary, "QD_BOARD_MODEL", model,
                          "ideal, typical, or name=value pairs of offset, gain, bow, msb1 to msb4, "
                          "noise, floor, seed, slew, tau, glitch and glitchwidth separated by "
                          "commas (" +
                              why + ")");
        }
    }
    return c;
}

SimConfig SimConfig::forBoard(int board) const {
    SimConfig c = *this;
    if (board > 1) {
        const std::string suffix = "." + std::to_string(board);
        c.statePath += suffix;
        if (!c.tracePath.empty()) {
            c.tracePath += suffix;
        }
    }
    if (lotSeed) {
        c.model = ConverterModel::lotUnit(*lotSeed, board);
    }
    return c;
}

std::string SimConfig::serialOf(int board) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "SIM%04d", board);
    return serial;
}

int SimConfig::boardOfSerial(const std::string& serial) {
    for (int board = 1; board <= kMostBoards; ++board) {
        if (serial == serialOf(board)) {
            return board;
        }
    }
    return 0;
}

SimConfig SimConfig::probed(int board, const std::string& serial) {
    const SimConfig config = fromEnvironment();
    std::string upper = serial;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const int chosen = !upper.empty() ? boardOfSerial(upper) : board > 0 ? board : 1;
    if (chosen < 1 || chosen > config.boardCount) {
        throw LinkFailure({LinkStatus::NoBoard,
                           "no simulated board " +
                               (upper.empty() ? std::to_string(chosen) : serial) + ": there are " +
                               std::to_string(config.boardCount) + " (" + serialOf(1) + " to " +
                               serialOf(config.boardCount) + ", QD_BOARD_COUNT)"});
    }
    return config.forBoard(chosen);
}

} // namespace qd::drivers

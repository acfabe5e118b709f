#pragma once

#include "control/Tables.h"
#include "measure/SelfTest.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qd::cli {

enum class Command { Program, Read, Verify, Sweep, Selftest, List, Serve, Characterize, SimMeter };

// Everything the command line says, checked: names are those of the tables,
// numbers are finite and in range, output paths are refused before any
// board is touched when they cannot be written as asked.
struct Options {
    Command command = Command::Read;

    int link = 1;
    bool json = false;
    std::string firmware; // the image beside qdctl unless given
    int board = 0;        // 0: the link library's own choice
    bool download = false;
    bool quiet = false;
    bool timing = false;

    std::string device;          // a caption of kDevices
    std::string mode = "normal"; // the word of scpi::kPowerModeNames
    std::string code;
    std::optional<double> volts;
    bool clamp = false; // a code or voltage beyond the range is clamped, not refused
    double vref = 0;    // set from the board's facts
    // In measuring-converter counts; verify and selftest check against 2
    // unless told, a sweep only when told.
    std::optional<double> tolerance;

    std::string from, to, step = "1";
    std::string csv, plot;

    std::string listen = "127.0.0.1:5025"; // sim-meter: 127.0.0.1:5026
    int maxClients = 8;
    int idleTimeout = 30; // seconds a message may stay unfinished

    // characterize
    std::string meter; // a VISA resource or a USBTMC device file; empty: the on-board converter
    std::string codes = "fast";
    double nplc = 10;
    int samples = 4;
    double settleMs = 5;
    std::string limits;
    std::string report;

    const DeviceProfile& deviceProfile() const;
    std::int16_t powerMode() const;
    double toleranceCounts() const { return tolerance.value_or(measure::kSelfTestToleranceCounts); }
};

// What parsing the command line came to.
struct Parsed {
    bool run = false; // false: help or version was printed, or a failure
    int status = 0;   // the exit status when not run
};

// Parses argv into options. Help and version go to standard output; a bad
// argument raises Failure(BadArguments), an unknown subcommand or option
// with the nearest valid name. The whole text of --help is built from the
// device and power-mode tables.
Parsed parseCommandLine(int argc, char** argv, Options& options);

// Whether the command line asks for JSON, looked for before parsing so that
// even a command line that does not parse gets its answer as JSON.
bool wantsJson(int argc, char** argv);

} // namespace qd::cli

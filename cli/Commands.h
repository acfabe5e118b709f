#pragma once

#include "cli/Analysis.h"
#include "cli/Options.h"

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace qd::cli {

// What each command found out; Output turns these into text, JSON and CSV.

struct ProgramResult {
    std::string device, mode;
    std::string code;  // as the data-word box shows it
    std::string typed; // as given, when --clamp clamped it
    bool clamped = false;
    std::int32_t frame = 0;
    int frameBits = 0;
    std::uint32_t index = 0;
    bool downloaded = false; // the firmware was loaded (else it ran already)
};

struct ReadResult {
    std::int32_t counts = 0;
    double volts = 0;
};

struct VerifyResult {
    ProgramResult programmed;
    double expectedVolts = 0;
    std::int32_t expectedCounts = 0;
    double measuredVolts = 0;
    std::int32_t measuredCounts = 0;
    double tolerance = 0;
    bool pass = false;
};

struct SweepResult {
    std::string device, mode;
    SweepSummary summary;
    std::string csv, plot;
    bool downloaded = false;
    bool clamped = false; // --clamp clamped --from or --to
    int signal = 0; // the signal that ended it early (SIGINT, SIGTERM); the rows so far are kept
    double seconds = 0;
    double shareOutsideLibrary = 0; // with --timing
    double plotSeconds = 0;         // drawing alone, with --timing
};

struct ModeCheckResult {
    std::string mode;
    std::int32_t frame = 0;
    std::int32_t expectedCounts = 0;
    std::int32_t measuredCounts = 0;
    bool pass = false;
};

struct SelftestResult {
    std::string device;
    std::vector<ModeCheckResult> modes;
    bool pass = false;
    bool downloaded = false;
};

struct ListResult {
    std::string library;
    // Each board as the library describes it: "id=1 bus=1 port=2 …".
    std::vector<std::string> boards;
    bool canList = true;  // false: the library finds its board by itself and lists none
    bool detailed = true; // false: the library gives identifiers only
};

using Result =
    std::variant<ProgramResult, ReadResult, VerifyResult, SweepResult, SelftestResult, ListResult>;

// The folder qdctl lies in, as the file system names it.
std::string programFolder();

// The firmware image qdctl loads: --firmware, else QD1600.hex beside it.
std::string firmwarePathOf(const Options& options);

// Runs the command the options name (all but serve). Bad arguments, codes
// and output paths are refused before any board is touched. Failures raise
// Failure or RuntimeError (link library not loadable).
Result runCommand(const Options& options);

// The exit status of a command that did not fail: a failed check is 1, a
// sweep ended by a signal 128 + the signal.
int statusOf(const Result& result);

} // namespace qd::cli

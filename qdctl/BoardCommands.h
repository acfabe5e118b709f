#pragma once

#include "measure/Limits.h"
#include "measure/Loop.h"
#include "measure/SweepStatistics.h"
#include "session/CommonOptions.h"
#include "session/ExitStatus.h"
#include "session/Session.h"

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace qd::qdctl {

using control::DeviceProfile;

// The session on a board, its options and its failures are what serve and
// sim-meter use too.
using session::CommonOptions;

// A sweep's rows and statistics are the measurement core's.
using measure::expectedCounts;
using measure::expectedVolts;
using measure::Response;
using measure::SweepRow;
using measure::SweepStatistics;
using measure::SweepSummary;

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

// What characterize found, with how it was measured, for the report.
struct CharacterizeResult {
    std::string device;
    int bits = 0;
    double referenceVolts = 0;
    std::string meter;         // the resource; empty for the on-board converter
    std::string meterIdentity; // its *IDN? answer
    std::string meterFamily;   // whose dialect it was spoken to in
    double meterRangeVolts = 0;
    double nplc = 0;
    int samples = 0;
    double settleMs = 0;
    std::string plan;
    std::size_t planned = 0, measured = 0;
    std::string board;       // the board's identifier
    std::string boardSerial; // its USB serial, "" when it has none
    std::string date;        // when it was measured, local time, ISO 8601
    // Absent when it ended before the codes the figures need were measured.
    std::optional<measure::Figures> figures;
    // Each code's mean output in volts, ascending: what the report draws
    // when there are no figures to draw.
    std::vector<std::pair<std::int32_t, double>> output;
    measure::Limits limits;
    measure::Verdict verdict;
    std::string csv, plot, report;
    bool downloaded = false;
    int signal = 0;
    // A failure that ended it before the plan was done (the meter or the
    // board gone): its status and message. The figures the codes measured
    // allow are still given, marked interrupted.
    int endStatus = 0;
    std::string endMessage;
    double seconds = 0;
    double meterSeconds = 0; // readings and settling
    // What the report's header names: the unit, who, where, and what made it.
    std::string serial, operatorName, temperature, note;
    std::string meterCalibration; // the meter's CAL:DATE? answer, when it has one
    std::string version, commandLine;
    std::string from;        // the CSV judged, for --from
    std::size_t resumed = 0; // rows taken from the CSV of --resume
    bool interrupted() const { return signal != 0 || endStatus != 0; }
};

using Result = std::variant<ProgramResult, ReadResult, VerifyResult, SweepResult, SelftestResult,
                            ListResult, CharacterizeResult>;

// After a measurement loop of `total` codes: a failure that ended it, as
// endEarly ends a run, with the meter's failures as MeterFailed.
class ResultsFile;
void endLoop(const measure::LoopOutcome& outcome, std::size_t total, ResultsFile* csv);

// Opens the board as openSession does, recording the run's start first
// (so that a board that cannot be opened is on record too) with `fields`
// and what every run holds: device, power mode, link, firmware, converter.
session::Opened openRecorded(const session::CommonOptions& common,
                             const session::DeviceChoice& device, bool load,
                             std::map<std::string, std::string> fields = {});

// What a measurement loop calls to program a code on `session`: the frame
// it wrote.
measure::Program programOn(session::Session& session);

// A code as the data-word box takes it: the value, the text it shows, and
// what was typed when --clamp clamped it.
struct Code {
    std::int32_t value = 0;
    std::string shown;
    std::string clampedFrom;
};

// A code typed for `what` (the CODE, --from, --to): hexadecimal digits as
// the box takes them, within the device's range unless `clamp` asks for the
// box's clamping.
Code validateCode(const DeviceProfile& device, const std::string& typed, bool clamp,
                  const std::string& what);

// The exit status of a command that did not fail: a failed check is 1, a
// sweep ended by a signal 128 + the signal.
int statusOf(const Result& result);

// Ends a command that ran once: prints its result as asked, with --timing
// what a sweep's took, and returns its exit status.
int finish(const CommonOptions& common, const Result& result, bool timing = false);

} // namespace qd::qdctl

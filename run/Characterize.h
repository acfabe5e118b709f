#pragma once

// A characterization as the engine runs it: a setup in, the figures, the
// verdict and how they were measured out; the board, the meter, the CSV,
// the recording and the pictures looked after on the way.

#include "board/BoardFacts.h"
#include "measure/Figures.h"
#include "measure/Limits.h"
#include "results/Store.h"
#include "run/CharacterizeCsv.h"
#include "run/Context.h"
#include "session/CommonOptions.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qd::run {

// What to characterize and how, as the command line and a window give it.
struct CharacterizeSetup {
    session::DeviceChoice device;
    std::string meter; // a VISA resource or a USBTMC device file; empty: the on-board converter
    double meterTimeout = 5; // seconds
    std::string codes = "fast";
    double nplc = 10;
    int samples = 4;
    double settleMs = 5;
    std::string limits; // inline, or @FILE
    bool acceptConditional = false;
    std::string csv, plot, report;
    double vref = board::kDefaultReferenceVolts;
    bool noPreflight = false;
    std::string resume, from;
    std::string serial, operatorName, temperature, note;
    std::string stationSlot; // STATION:N, given by a station to each of its slots
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
    std::string station, slot; // the station run it is a slot of, and its slot; "" for none
    std::string from;          // the CSV judged, for --from
    std::size_t resumed = 0;   // rows taken from the CSV of --resume
    bool interrupted() const { return signal != 0 || endStatus != 0; }
};

// The limits of --limits: inline, or a limits file's after @; refused
// (Failure(BadArguments)) naming the file and line.
measure::Limits limitsOf(const std::string& option);

// Refuses with Failure(BadArguments), in the words of qdctl's options, a
// setup that makes no sense (no device, a plan that does not parse, nan),
// before any board is touched; whoever starts a run checks it first.
void checkSetup(const CharacterizeSetup& setup);

// Who the meter at `resource` says it is, as a characterization finds it
// before measuring: its *IDN? answer, the family that answer selects and its
// last calibration ("" where the family cannot tell). Nothing is set up or
// reset. Failure(BadArguments) for a resource that names no meter in
// --meter's words, Failure(MeterFailed) for a meter that does not answer.
struct MeterIdentity {
    std::string identity, family, calibration;
};
MeterIdentity identifyMeter(const std::string& resource, double timeoutSeconds);

// Measures the plan of `setup` (or, with `from`, judges that CSV alone) and
// concludes it: the figures the measured codes allow, the verdict, the CSV,
// plot and report asked for, and the run in `context`'s recording. A stop
// or a failure of the meter or board mid-plan ends it with the rows and
// figures so far (`signal`, `endStatus`); anything earlier raises Failure.
CharacterizeResult characterize(const CharacterizeSetup& setup,
                                const session::CommonOptions& common, const Context& context);

// The figures, verdict and --report/--plot of `setup` from `run` alone,
// judged by `limits`; `source` names it in messages and the report. With
// `stored`, the run as the store keeps it: what its file does not say (the
// board, the meter's range and calibration, how long it took, the command
// that measured it) is taken from there, so that its report is the one the
// run made.
CharacterizeResult judgeRun(const CsvRun& run, const std::string& source,
                            const CharacterizeSetup& setup, const session::CommonOptions& common,
                            const measure::Limits& limits, const results::Run* stored = nullptr);

// The figures a stored characterization's readings give, per code too,
// straight from the store; none when it lacks the codes they need or what
// it was measured with (its converter, its reference).
std::optional<measure::Figures> figuresOfStored(const results::Run& run,
                                                const std::vector<results::Reading>& readings);

} // namespace qd::run

#pragma once

// A dynamic measurement as the engine runs it: the converter's step or
// carry transition captured by a bench oscilloscope, its settling time and
// slew rate or its glitch impulse with their uncertainties, judged by the
// limits, and the run kept with its method and its waveform.

#include "board/BoardFacts.h"
#include "measure/Dynamic.h"
#include "measure/Limits.h"
#include "measure/Waveform.h"
#include "report/ReportData.h"
#include "results/Store.h"
#include "run/Context.h"
#include "session/CommonOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qd::run {

// The band of a settling time, ±value in LSB of the converter, ppm of its
// full scale or mV, as --band takes it ("2lsb", "30ppm", "0.5mv").
struct Band {
    double value = 0;
    std::string unit; // "lsb", "ppm" or "mv"

    // nullopt, with what is wrong in `why`, for text that is none.
    static std::optional<Band> parse(std::string_view text, std::string& why);
    double volts(int bits, double referenceVolts) const;
    std::string text() const; // "±2 LSB"
};

enum class DynamicKind { Settle, Glitch };

struct DynamicSetup {
    DynamicKind kind = DynamicKind::Settle;
    session::DeviceChoice device;
    // A settling step's codes (hexadecimal); empty: 1/128 and 127/128 of
    // full scale, as datasheets step (0200 to FE00 on 16 bits).
    std::string from, to;
    // The code a glitch's transition goes into, from the one below it;
    // empty: the major carry (8000 on 16 bits).
    std::string at;
    std::string band = "2lsb";
    std::string scope;            // its VISA resource
    double scopeTimeout = 10;     // seconds
    std::optional<int> scopeBits; // a model with another ADC than its family's common ones
    int averages = 0;             // 0: as few as resolve the band; 64 for a glitch
    std::string limits;           // inline, or @FILE
    bool acceptConditional = false;
    std::string report; // .html, .htm or .pdf
    double vref = board::kDefaultReferenceVolts;
    std::string serial, operatorName, temperature, note;
};

// A record as the store keeps it and the report draws it: (seconds, volts).
struct StoredRecord {
    std::string name; // "coarse", "fine", "reference"
    std::vector<std::pair<double, double>> points;
};

// What a dynamic run found and how, as the store keeps it: enough to write
// its report again from the store alone.
struct DynamicResult {
    DynamicKind kind = DynamicKind::Settle;
    std::string device, mode;
    int bits = 0;
    double referenceVolts = 0;
    std::int32_t fromCode = 0, toCode = 0; // the step, or the glitch's transition
    double bandVolts = 0;
    std::string bandText; // "±2 LSB"; "" for a glitch
    std::string scopeResource;
    measure::ScopeSetup scope; // the finest record's setup
    // False when the scope as set up cannot resolve the band or the glitch:
    // `why` says so, and there are no figures.
    bool resolved = false;
    std::string why;
    std::vector<measure::KindFigure> figures;
    std::vector<std::vector<measure::UncertaintyPart>> budgets; // each figure's
    measure::Limits limits;
    measure::Verdict verdict;
    // Marks on the waveform: where the output settled, the band's centre,
    // the span discarded while the scope was overdriven, a glitch's window.
    double markSeconds = 0, centreVolts = 0, discardedFrom = 0, discardedTo = 0;
    std::vector<StoredRecord> records;
    std::vector<std::string> notes;
    std::string board, boardSerial, date;
    std::string serial, operatorName, temperature, note, version, commandLine, runId;
    double seconds = 0;      // from the scope's opening to the run's end
    double scopeSeconds = 0; // of it, capturing: the scope's acquisitions, transfers, answers
    int signal = 0;
};

// Refuses with Failure(BadArguments), in the words of qdctl's options, a
// setup that makes no sense, before the board or the scope is touched.
void checkDynamicSetup(const DynamicSetup& setup);

// Measures it: opens the scope and the board, captures the records the
// figures need (toggling the code while the scope averages), works the
// figures out, judges them, keeps the run with its method and waveform in
// `context`'s recording and writes the report asked for. Failure for a
// scope or board that cannot be used.
DynamicResult measureDynamic(const DynamicSetup& setup, const session::CommonOptions& common,
                             const Context& context);

// The status a dynamic run ends with: 0 when it passes, 1 when it fails or
// the scope could not resolve what was asked, 128 + a signal that ended it.
int dynamicStatus(const DynamicResult& result);

// The text qdctl prints, a line each.
std::vector<std::string> dynamicSummaryLines(const DynamicResult& result);

// Its report's page: the figures with their budgets, the method, and the
// waveform with the band, the settling point and what was discarded.
report::ReportData dynamicReport(const DynamicResult& result);

// The limit `limits` sets on a dynamic figure, and as a table shows it
// ("≤ 10", "1.5 to 3"; "" for none).
std::optional<measure::Limit> dynamicLimit(const measure::Limits& limits,
                                           const measure::FigureKind& kind);
std::string dynamicLimitText(const std::optional<measure::Limit>& limit);

// Keeps the run's method (the setup document), its figures, its verdict
// and its records (the waveform document) in `recording`.
class Recording;
void recordDynamic(Recording& recording, const DynamicResult& result);

// A dynamic run as the store holds it, for runs report.
DynamicResult storedDynamic(const results::Run& run, const std::vector<results::Figure>& figures);

} // namespace qd::run

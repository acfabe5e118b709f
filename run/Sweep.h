#pragma once

// A sweep as the engine runs it: every STEP-th code of a range programmed
// and read back by the board's own converter, a CSV row each as it is
// measured, the statistics of the whole and its plot.

#include "board/BoardFacts.h"
#include "measure/SweepStatistics.h"
#include "report/ReportData.h"
#include "results/Store.h"
#include "run/Context.h"
#include "session/CommonOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qd::run {

struct SweepSetup {
    session::DeviceChoice device;
    std::int32_t from = 0, to = 0, step = 1; // within the device's codes, from <= to
    std::string csv, plot;
    double vref = board::kDefaultReferenceVolts;
    // In measuring-converter counts; checked only when given.
    std::optional<double> tolerance;
    bool clamped = false; // the codes were clamped to the device's range
};

struct SweepResult {
    std::string device, mode;
    measure::SweepSummary summary;
    std::string csv, plot;
    bool downloaded = false;
    bool clamped = false; // --clamp clamped --from or --to
    int signal = 0; // the signal that ended it early (SIGINT, SIGTERM); the rows so far are kept
    double seconds = 0;
    double shareOutsideLibrary = 0; // with --timing
    double plotSeconds = 0;         // drawing alone, with --timing
};

// Measures `setup`'s codes, recording them in `context`'s recording; a
// stop ends it with the rows so far kept (`signal`).
SweepResult sweep(const SweepSetup& setup, const session::CommonOptions& common,
                  const Context& context);

// A recorded sweep's picture, as the sweep's --plot drew it, from the
// store: its readings, its converter, reference, power mode and tolerance,
// and the board, date and version that made it.
report::ReportData storedSweepPicture(const results::Run& run,
                                      const std::vector<results::Reading>& readings);

// A sweep's CSV: its header and one row. New columns go at the end, so that
// a script that picks columns by their place keeps working.
std::string csvHeader();
std::string csvRow(const measure::SweepRow& row);

// A sweep's summary, a line each, as the text output and the plot give it.
std::vector<std::string> sweepSummaryLines(const SweepResult& sweep);

} // namespace qd::run

#pragma once

// A characterization's CSV carries its setup in leading '#' lines (which
// numpy, pandas with comment='#' and R skip), so that the file alone can
// be judged again (--from) or finished (--resume) without guessing how it
// was measured.

#include "measure/Figures.h"
#include "measure/Loop.h"
#include "results/Store.h"
#include "session/CommonOptions.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qd::run {

using CsvSetup = std::vector<std::pair<std::string, std::string>>; // key, value, in order

// The '#' lines of `setup`, then the column header for `samples` readings.
std::string csvPreamble(const CsvSetup& setup, int samples);

// One row as the file holds it.
std::string csvRow(const measure::Row& row);

struct CsvRun {
    CsvSetup setup;
    std::vector<measure::Row> rows; // as written, each with its readings
    // The value of `key`, or "" when the file does not give it.
    std::string value(const std::string& key) const;
};

// Reads a file written by characterize; Failure(BadArguments) naming
// `option`, the file and the line for anything else, Failure(WriteFailed)
// when it cannot be read.
CsvRun readCsv(const std::string& path, const std::string& option);

// The setup keys a resumed run must share with its file: what changes the
// readings. Another DUT, board, meter or settling would mix two
// measurements into one set of figures.
extern const std::vector<std::string> kResumeKeys;

// A stored characterization as its CSV would hold it.
CsvRun csvOfStored(const results::Run& run, const std::vector<results::Reading>& readings);

} // namespace qd::run

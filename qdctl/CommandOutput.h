#pragma once

#include "qdctl/BoardCommands.h"
#include "run/CharacterizeCsv.h"
#include "session/OutputRules.h"

#include <string>
#include <string_view>
#include <vector>

namespace qd::qdctl {

// The CSV of a sweep: its header and one row per code, each with its line
// end.

// A result as the text a user reads, or as one compact JSON object; both
// without the final line end.
std::string resultText(const Result& result);

// Rows of words as columns, each as wide as its widest word and two spaces
// apart, with no trailing space: the first row is the heading.
std::string columnsText(const std::vector<std::vector<std::string>>& rows);
// With `run`: the id of the run the results store keeps it as.
std::string resultJson(const Result& result, const std::string& run = {});

// What --timing reports of a sweep.
std::string timingText(const SweepResult& sweep);

// Prints a result, as JSON with --json: on standard output, but for the
// summary of a sweep whose rows go there, which goes to standard error.
void printResult(bool json, const Result& result, const std::string& run = {});

// A characterization's figures, verdict and --report from `run` alone, judged
// by `limits` (as --limits takes them), printed as characterize prints its
// own; named `source` in messages and the report. The exit status.
int reportRun(const run::CsvRun& run, const std::string& source, const std::string& limits,
              const std::string& report, const session::CommonOptions& common);

} // namespace qd::qdctl

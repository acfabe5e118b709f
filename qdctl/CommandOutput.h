#pragma once

#include "qdctl/BoardCommands.h"
#include "session/OutputRules.h"

#include <string>
#include <string_view>
#include <vector>

namespace qd::qdctl {

// The CSV of a sweep: its header and one row per code, each with its line
// end.
std::string csvHeader();
std::string csvRow(const SweepRow& row);

// A result as the text a user reads, or as one compact JSON object; both
// without the final line end.
std::string resultText(const Result& result);

// Rows of words as columns, each as wide as its widest word and two spaces
// apart, with no trailing space: the first row is the heading.
std::string columnsText(const std::vector<std::vector<std::string>>& rows);
std::string resultJson(const Result& result);

// What --timing reports of a sweep.
std::string timingText(const SweepResult& sweep);

// A sweep's summary, a line each, as the text output and the plot give it.
std::vector<std::string> sweepSummaryLines(const SweepResult& sweep);

// Prints a result, as JSON with --json: on standard output, but for the
// summary of a sweep whose rows go there, which goes to standard error.
void printResult(bool json, const Result& result);

} // namespace qd::qdctl

#pragma once

#include "qdctl/Commands.h"
#include "qdctl/Session.h"

#include <string>
#include <string_view>
#include <vector>

namespace qd::cli {

// Writes all of text to standard output, or raises Failure(WriteFailed):
// a full disk or a closed pipe must not pass for success.
void writeStandardOutput(std::string_view text);

// Text on standard error; errors there cannot be reported anywhere else
// and are ignored.
void writeStandardError(std::string_view text);

// One line on standard error, "qdctl: <message>".
void writeMessage(const std::string& message);

// The CSV of a sweep: its header and one row per code, each with its line
// end.
std::string csvHeader();
std::string csvRow(const SweepRow& row);

// A result as the text a user reads, or as one compact JSON object; both
// without the final line end.
std::string resultText(const Result& result);
std::string resultJson(const Result& result);

// What --timing reports of a sweep.
std::string timingText(const SweepResult& sweep);

// A sweep's summary, a line each, as the text output and the plot give it.
std::vector<std::string> sweepSummaryLines(const SweepResult& sweep);

// Prints a result as the options ask: on standard output, but for the
// summary of a sweep whose rows go there, which goes to standard error.
void printResult(const Options& options, const Result& result);

// Reports a failure: its message on standard error and, with --json, one
// JSON object {"error": …, "status": …} on standard output.
void printFailure(bool json, int status, const std::string& message);

} // namespace qd::cli

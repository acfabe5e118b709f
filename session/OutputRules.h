#pragma once

#include <string>
#include <string_view>

namespace qd::session {

// Writes all of text to standard output, or raises Failure(WriteFailed):
// a full disk or a closed pipe must not pass for success.
void writeStandardOutput(std::string_view text);

// Text on standard error; errors there cannot be reported anywhere else
// and are ignored.
void writeStandardError(std::string_view text);

// One line on standard error, "qdctl: <message>".
void writeMessage(const std::string& message);

// Reports a failure: its message on standard error and, with --json, one
// JSON object {"error": …, "status": …} on standard output.
void printFailure(bool json, int status, const std::string& message);

} // namespace qd::session

#pragma once

#include "board/LinkQuery.h"

#include <stdexcept>
#include <string>

namespace qd::session {

// Exit statuses of qdctl, one per kind of failure; the same cause gives the
// same status whichever link library carried the call.
enum ExitStatus : int {
    Ok = 0,
    CheckFailed = 1, // verify, selftest, sweep or characterize measured something else
    BadArguments = 2,
    BadCode = 3,
    NoBoard = 4,        // none found, not ours to open, its state or a setting unusable
    DownloadFailed = 5, // the image is unusable or the board did not take it
    RequestFailed = 6,
    LibraryFailed = 7, // the link library or one of its functions cannot be bound
    WriteFailed = 8,   // a results file or standard output could not be written
    Busy = 9,          // another program holds the board
    MeterFailed = 10,  // the bench meter cannot be reached or refused a command
    // 128 + the signal: SIGINT or SIGTERM ended a sweep early; its rows are kept.
};

// The one table from the link's reasons to exit statuses.
ExitStatus exitStatusFor(board::LinkStatus status);

// The EXIT STATUS section of the help and the manual page.
extern const char* const kExitStatusHelp;

// A failure that ends qdctl with its status and a one-line message.
class Failure : public std::runtime_error {
  public:
    Failure(ExitStatus status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    ExitStatus status() const { return status_; }

  private:
    ExitStatus status_;
};

} // namespace qd::session

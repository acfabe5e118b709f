#include "session/ExitStatus.h"

namespace qd::session {

ExitStatus exitStatusFor(board::LinkStatus status) {
    using board::LinkStatus;
    switch (status) {
    case LinkStatus::Ok:
        return Ok;
    case LinkStatus::NoBoard:
    case LinkStatus::NoPermission:
    case LinkStatus::StateRefused:
    case LinkStatus::BadSetting:
        return NoBoard;
    case LinkStatus::Busy:
        return Busy;
    case LinkStatus::BadImage:
    case LinkStatus::DownloadFailed:
        return DownloadFailed;
    case LinkStatus::RequestFailed:
        return RequestFailed;
    case LinkStatus::BadArgument:
        return BadArguments;
    }
    return RequestFailed;
}

const char* const kExitStatusHelp = R"(EXIT STATUS
  0    success
  1    verify, selftest or sweep measured something else than expected; a
       characterized converter is not monotonic (or not shown to be), a figure
       lies beyond --limits, or its verdict is CONDITIONAL without
       --accept-conditional
  2    bad arguments
  3    bad code: not a code, or beyond the device's range without --clamp
  4    no board: none found, no permission to open it, its state unusable, or a
       QD_BOARD* setting the link library does not take
  5    firmware download failed, or the image is unusable
  6    a request to the board failed
  7    the link library or one of its functions cannot be loaded
  8    a results file or standard output could not be written
  9    the board is busy: another program holds it
  10   the meter cannot be reached, refused a command, or gave no reading
  130  a sweep or characterization was ended by SIGINT (143: SIGTERM); the rows
       measured are kept)";

} // namespace qd::session

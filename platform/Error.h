#pragma once

// The system's words for a failure, in UTF-8 on every system, on one line:
// no line end and no full stop, as the rest of a diagnostic is.

#include <string>

namespace qd::platform {

// The last failure of a system call on this thread: errno, or GetLastError()
// on Windows.
std::string lastErrorText();

// The text of a failure's number as the system gives it (an errno value, or
// a Windows error code); never empty.
std::string errorText(long code);

} // namespace qd::platform

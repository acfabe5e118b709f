#include "platform/StandardStreams.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace qd::platform {

void prepareStandardStreams() {
    // Text mode would turn each line end into CR LF: CSV and JSON are the
    // same bytes on every system.
    ::_setmode(kStandardOutput, _O_BINARY);
    ::_setmode(kStandardError, _O_BINARY);
}

bool isTerminal(int fd) {
    return ::_isatty(fd) != 0;
}

bool canRedrawLines(int fd) {
    if (!isTerminal(fd)) {
        return false;
    }
    const HANDLE console =
        ::GetStdHandle(fd == kStandardError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    return ::GetConsoleMode(console, &mode) &&
           ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// No path names standard output on Windows.
bool isStandardOutput(int /*fd*/) {
    return false;
}

} // namespace qd::platform

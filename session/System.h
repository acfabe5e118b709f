#pragma once

// What qdctl needs of the operating system beyond standard C++ and Qt Core.
// One implementation per system: SystemPosix.cpp and SystemWindows.cpp, and
// what is made of those once, in System.cpp.

#include "platform/File.h"

#include <string>
#include <string_view>

class QCoreApplication;

namespace qd::session {

// Whole writes are the platform's.
using qd::platform::writeAll;

// SIGINT and SIGTERM (on Windows Ctrl-C, and Ctrl-Break or the console's
// closing) call `onStop` with the signal's number, 2 or 15, for as long as
// this lives.
class StopSignals {
  public:
    using Handler = void (*)(int signal);
    explicit StopSignals(Handler onStop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
};

// The same signals end `app`'s event loop, from then on.
void sysQuitOnStopSignals(QCoreApplication& app);

} // namespace qd::session

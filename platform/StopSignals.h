#pragma once

// The signals that ask a program to stop: SIGINT and SIGTERM, on Windows
// Ctrl-C, and Ctrl-Break or the console's closing.

namespace qd::platform {

// Calls `onStop` with the signal's number, 2 or 15, for as long as this
// lives: in the signal's handler on POSIX systems, where it may do no more
// than a handler may; on Windows on a thread the system starts for the
// event.
class StopSignals {
  public:
    using Handler = void (*)(int signal);
    explicit StopSignals(Handler onStop);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
};

// From now on, the same signals are told to an event loop, which a signal
// handler cannot reach: on POSIX systems as a byte on the descriptor this
// returns, for the loop to watch (-1 when none can be had, and the signals
// then do what they did). Windows calls `onStop` instead, on the thread it
// starts for the event, where the loop is told as from any other thread,
// unless a StopSignals lives; this returns -1 there.
int watchStopSignals(void (*onStop)());

} // namespace qd::platform

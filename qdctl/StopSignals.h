#pragma once

#include "platform/StopSignals.h"
#include "run/Context.h"

namespace qd::qdctl {

// SIGINT and SIGTERM (Ctrl-C on Windows) end a long measurement after its
// current code, for as long as one of these lives; the rows measured are
// kept. A write they interrupt is carried on. stopSignal() tells which came,
// 0 for none.
class StopOnSignals {
  public:
    StopOnSignals();

  private:
    platform::StopSignals signals_;
};

int stopSignal();

// A run's context on the command line: `recording`, stopped by the signals
// above, watched by `watcher` (may be null), its notices on standard error.
run::Context commandContext(run::Recording& recording, run::Watcher* watcher);

} // namespace qd::qdctl

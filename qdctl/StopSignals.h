#pragma once

#include "platform/StopSignals.h"
#include "run/Context.h"
#include "run/Recording.h"

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

// While one lives, SIGINT and SIGTERM end a wait for the results store
// (its server not answering) rather than the program, which then goes on
// as with any store that failed: the measurement kept, status 8.
// storeWaitStopped() tells that one came since it was made.
class StopStoreWaits {
  public:
    StopStoreWaits();

  private:
    platform::StopSignals signals_;
};

bool storeWaitStopped();

// The recording's way to let the signals end its waits for the store.
run::Recording::StoreStop storeStop();

// A run's context on the command line: `recording`, stopped by the signals
// above, watched by `watcher` (may be null), its notices on standard error.
run::Context commandContext(run::Recording& recording, run::Watcher* watcher);

} // namespace qd::qdctl

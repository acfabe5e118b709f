#pragma once

#include <atomic>

namespace qd::cli {

// SIGINT and SIGTERM end a long measurement after its current code, for as
// long as one of these lives; the rows measured are kept. A write they
// interrupt is carried on. stopSignal() tells which came, 0 for none.
class StopOnSignals {
  public:
    StopOnSignals();
    ~StopOnSignals();
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

  private:
    struct Saved;
    Saved* saved_;
};

int stopSignal();

} // namespace qd::cli

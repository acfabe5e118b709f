#include "qdctl/StopSignals.h"

#include <atomic>

namespace qd::qdctl {

namespace {

std::atomic<int> received{0};

void onStop(int signal) {
    received = signal;
}

int resetFirst() {
    received = 0;
    return 0;
}

} // namespace

StopOnSignals::StopOnSignals() : signals_((resetFirst(), onStop)) {}

int stopSignal() {
    return received;
}

} // namespace qd::qdctl

#include "qdctl/StopSignals.h"

#include "session/OutputRules.h"

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

std::atomic<bool> storeStopped{false};

void onStoreStop(int) {
    storeStopped = true;
}

int resetStoreFirst() {
    storeStopped = false;
    return 0;
}

} // namespace

StopOnSignals::StopOnSignals() : signals_((resetFirst(), onStop)) {}

int stopSignal() {
    return received;
}

StopStoreWaits::StopStoreWaits() : signals_((resetStoreFirst(), onStoreStop)) {}

bool storeWaitStopped() {
    return storeStopped;
}

run::Recording::StoreStop storeStop() {
    return {[] { return std::make_shared<StopStoreWaits>(); }, [] { return storeWaitStopped(); }};
}

run::Context commandContext(run::Recording& recording, run::Watcher* watcher) {
    run::Context context(recording);
    context.stop = [] { return stopSignal(); };
    context.watcher = watcher;
    context.notice = [](const std::string& line) { session::writeMessage(line); };
    context.holdStop = [] { return std::make_shared<StopOnSignals>(); };
    return context;
}

} // namespace qd::qdctl

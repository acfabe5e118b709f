#include "cli/StopSignals.h"

#include <csignal>

namespace qd::cli {

namespace {

std::atomic<int> received{0};

extern "C" void onStopSignal(int signal) {
    received = signal;
}

} // namespace

struct StopOnSignals::Saved {
    struct sigaction interrupt {};
    struct sigaction terminate {};
};

StopOnSignals::StopOnSignals() : saved_(new Saved) {
    received = 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &saved_->interrupt);
    ::sigaction(SIGTERM, &action, &saved_->terminate);
}

StopOnSignals::~StopOnSignals() {
    ::sigaction(SIGINT, &saved_->interrupt, nullptr);
    ::sigaction(SIGTERM, &saved_->terminate, nullptr);
    delete saved_;
}

int stopSignal() {
    return received;
}

} // namespace qd::cli

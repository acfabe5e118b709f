#include "platform/StopSignals.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace qd::platform {

namespace {

std::atomic<StopSignals::Handler> stopHandler{nullptr};
struct sigaction oldInt {};
struct sigaction oldTerm {};

extern "C" void onSignal(int signal) {
    if (const auto handler = stopHandler.load()) {
        handler(signal);
    }
}

void handle(int signal, void (*handler)(int), struct sigaction* old) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, old);
}

} // namespace

StopSignals::StopSignals(Handler onStop) {
    stopHandler = onStop;
    handle(SIGINT, onSignal, &oldInt);
    handle(SIGTERM, onSignal, &oldTerm);
}

StopSignals::~StopSignals() {
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    stopHandler = nullptr;
}

namespace {

int stopPipe[2] = {-1, -1};

extern "C" void wakeEventLoop(int) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(stopPipe[1], &byte, 1);
}

} // namespace

int watchStopSignals(void (*)()) {
    // Only a write is safe in a signal handler: the event loop hears it.
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return -1;
    }
    handle(SIGINT, wakeEventLoop, nullptr);
    handle(SIGTERM, wakeEventLoop, nullptr);
    return stopPipe[0];
}

} // namespace qd::platform

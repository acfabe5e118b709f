#include "platform/StopSignals.h"

#include <atomic>
#include <csignal>
#include <windows.h>

namespace qd::platform {

namespace {

std::atomic<StopSignals::Handler> stopHandler{nullptr};
std::atomic<void (*)()> eventLoopHandler{nullptr};

int signalOf(DWORD event) {
    return event == CTRL_C_EVENT ? SIGINT : SIGTERM;
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (const auto handler = stopHandler.load()) {
        handler(signalOf(event));
        return TRUE;
    }
    if (const auto handler = eventLoopHandler.load()) {
        handler();
        return TRUE;
    }
    return FALSE;
}

} // namespace

StopSignals::StopSignals(Handler onStop) {
    stopHandler = onStop;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

StopSignals::~StopSignals() {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    stopHandler = nullptr;
}

int watchStopSignals(void (*onStop)()) {
    eventLoopHandler = onStop;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
    return -1;
}

} // namespace qd::platform

#include "platform/Error.h"
#include "session/System.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <random>
#include <sys/stat.h>
#include <windows.h>

// Paths come from the command line, in the ANSI code page, and go to the
// functions that take that code page.

namespace qd::session {

namespace {

std::atomic<StopSignals::Handler> stopHandler{nullptr};
std::atomic<QCoreApplication*> quitting{nullptr};

int signalOf(DWORD event) {
    return event == CTRL_C_EVENT ? SIGINT : SIGTERM;
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (const auto handler = stopHandler.load()) {
        handler(signalOf(event));
        return TRUE;
    }
    if (QCoreApplication* app = quitting.load()) {
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
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

void sysQuitOnStopSignals(QCoreApplication& app) {
    quitting = &app;
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

} // namespace qd::session

#include "session/Serving.h"

#include "control/RuntimeError.h"
#include "platform/StopSignals.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <QJsonDocument>
#include <QMetaObject>
#include <QSocketNotifier>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace qd::session {

using control::RuntimeError;

namespace {

std::atomic<QCoreApplication*> quitting{nullptr};

// Never from a signal handler: Windows calls it on a thread of its own.
void quitFromAnyThread() {
    if (QCoreApplication* app = quitting.load()) {
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

// The stop signals end `app`'s event loop, from then on.
void quitOnStopSignals(QCoreApplication& app) {
    quitting = &app;
    if (const int wake = platform::watchStopSignals(quitFromAnyThread); wake >= 0) {
        auto* notifier = new QSocketNotifier(wake, QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    }
}

} // namespace

std::unique_ptr<QCoreApplication> makeApplication() {
    static int argc = 1;
    static char name[] = "qdctl";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QCoreApplication>(argc, argv);
}

scpi::ListenAddress listenAddress(const ServerOptions& o) {
    try {
        return scpi::parseListenAddress(o.serving.listen);
    } catch (const std::invalid_argument& e) {
        throw Failure(BadArguments, std::string("--listen: ") + e.what());
    }
}

std::string listen(scpi::Server& server, const scpi::ListenAddress& address,
                   const ServerOptions& o) {
    server.setLogging(!o.common.quiet);
    server.setMaxClients(o.serving.maxClients);
    server.setIdleTimeout(std::chrono::seconds(o.serving.idleTimeout));
    std::string why;
    if (!server.listen(address, &why)) {
        throw Failure(BadArguments, "cannot listen on " + o.serving.listen + ": " + why);
    }
    return address.host.toString().toStdString() + ":" + std::to_string(server.port());
}

int serveUntilStopped(QCoreApplication& app, const scpi::Server& server, const std::string& where,
                      const ServerOptions& o, const QJsonObject& more, const std::string& message) {
    // SIGINT and SIGTERM end the server through the event loop, so that
    // what it holds is let go as the process ends.
    quitOnStopSignals(app);
    if (o.common.json) {
        QJsonObject json{{"listening", QString::fromStdString(where)}, {"port", server.port()}};
        for (auto it = more.begin(); it != more.end(); ++it) {
            json.insert(it.key(), it.value());
        }
        writeStandardOutput(QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString() +
                            "\n");
    } else {
        writeStandardOutput("listening on " + where + "\n");
    }
    writeMessage(message + "; SCPI has no authentication");
    QCoreApplication::exec();
    return Ok;
}

int reportingFailures(const ServerOptions& options, int (*run)(const ServerOptions&)) {
    try {
        return run(options);
    } catch (const Failure& f) {
        printFailure(options.common.json, f.status(), f.what());
        return f.status();
    } catch (const RuntimeError& e) {
        printFailure(options.common.json, LibraryFailed, e.what());
        return LibraryFailed;
    }
}

double simulatedTimeScale(const char* variable) {
    const char* value = std::getenv(variable);
    const std::string text = value ? value : "";
    if (text.empty()) {
        return 1.0;
    }
    double scale = -1;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), scale);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(scale) ||
        scale < 0) {
        throw Failure(NoBoard, std::string(variable) + ": \"" + text +
                                   "\" refused; it takes a number, 0 or more (1: real time)");
    }
    return scale;
}

} // namespace qd::session

#include "serve/Serving.h"

#include "control/RuntimeError.h"
#include "qdctl/ExitStatus.h"
#include "qdctl/Output.h"
#include "qdctl/System.h"

#include <QJsonDocument>
#include <chrono>
#include <stdexcept>

namespace qd::cli {

std::unique_ptr<QCoreApplication> makeApplication() {
    static int argc = 1;
    static char name[] = "qdctl";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QCoreApplication>(argc, argv);
}

scpi::ListenAddress listenAddress(const Options& o) {
    try {
        return scpi::parseListenAddress(o.listen);
    } catch (const std::invalid_argument& e) {
        throw Failure(BadArguments, std::string("--listen: ") + e.what());
    }
}

std::string listen(scpi::Server& server, const scpi::ListenAddress& address, const Options& o) {
    server.setLogging(!o.quiet);
    server.setMaxClients(o.maxClients);
    server.setIdleTimeout(std::chrono::seconds(o.idleTimeout));
    std::string why;
    if (!server.listen(address, &why)) {
        throw Failure(BadArguments, "cannot listen on " + o.listen + ": " + why);
    }
    return address.host.toString().toStdString() + ":" + std::to_string(server.port());
}

int serveUntilStopped(QCoreApplication& app, const scpi::Server& server, const std::string& where,
                      const Options& o, const QJsonObject& more, const std::string& message) {
    // SIGINT and SIGTERM end the server through the event loop, so that
    // what it holds is let go as the process ends.
    sys::quitOnStopSignals(app);
    if (o.json) {
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

int reportingFailures(const Options& options, int (*run)(const Options&)) {
    try {
        return run(options);
    } catch (const Failure& f) {
        printFailure(options.json, f.status(), f.what());
        return f.status();
    } catch (const RuntimeError& e) {
        printFailure(options.json, LibraryFailed, e.what());
        return LibraryFailed;
    }
}

} // namespace qd::cli

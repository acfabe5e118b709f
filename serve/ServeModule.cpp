// qdctl's serve module: the board as an SCPI instrument on Qt Network. A
// module of its own, so that the one-shot commands load no Qt Network.

#include "control/RuntimeError.h"
#include "qdctl/ExitStatus.h"
#include "qdctl/ModuleExport.h"
#include "qdctl/Options.h"
#include "qdctl/Output.h"
#include "qdctl/Session.h"
#include "qdctl/System.h"
#include "scpi/Server.h"
#include "serve/ServeBoard.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

namespace qd::cli {

namespace {

int run(const Options& o) {
    scpi::ListenAddress address;
    try {
        address = scpi::parseListenAddress(o.listen);
    } catch (const std::invalid_argument& e) {
        throw Failure(BadArguments, std::string("--listen: ") + e.what());
    }
    static int argc = 1;
    static char name[] = "qdctl";
    static char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);

    ServeBoard board(o);
    scpi::Instrument instrument(board.state(), board, QDCTL_VERSION);
    if (!o.device.empty()) {
        instrument.selectDevice(o.device);
    }
    scpi::Server server(instrument);
    server.setLogging(!o.quiet);
    std::string why;
    if (!server.listen(address, &why)) {
        throw Failure(BadArguments, "cannot listen on " + o.listen + ": " + why);
    }
    // SIGINT and SIGTERM end the server through the event loop, so that the
    // board is let go as the process ends.
    sys::quitOnStopSignals(app);

    const std::string where =
        address.host.toString().toStdString() + ":" + std::to_string(server.port());
    const char* firmware = board.downloaded() ? "loaded" : "already running";
    if (o.json) {
        const QJsonObject json{{"listening", QString::fromStdString(where)},
                               {"port", server.port()},
                               {"board", QString::fromStdString(board.identifier())},
                               {"firmware", board.downloaded() ? "loaded" : "running"}};
        writeStandardOutput(QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString() +
                            "\n");
    } else {
        writeStandardOutput("listening on " + where + "\n");
    }
    writeMessage("serving board " + board.identifier() + " as an SCPI instrument on " + where +
                 " (firmware " + firmware + "); SCPI has no authentication");
    QCoreApplication::exec();
    return Ok;
}

} // namespace

} // namespace qd::cli

// The module's one entry. Everything that can fail ends here with its
// status; nothing is thrown across the module's edge.
QDCTL_MODULE_EXPORT int qdctlServe(const qd::cli::Options& options) {
    using namespace qd::cli;
    try {
        return run(options);
    } catch (const Failure& f) {
        printFailure(options.json, f.status(), f.what());
        return f.status();
    } catch (const qd::RuntimeError& e) {
        printFailure(options.json, LibraryFailed, e.what());
        return LibraryFailed;
    }
}

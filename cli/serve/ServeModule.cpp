// qdctl's serve module: the board as an SCPI instrument on Qt Network. A
// module of its own, so that the one-shot commands load no Qt Network.

#include "cli/ExitStatus.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "cli/Session.h"
#include "cli/scpi/Server.h"
#include "cli/serve/ServeBoard.h"
#include "control/RuntimeError.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace qd::cli {

namespace {

int stopPipe[2] = {-1, -1};

extern "C" void onStop(int) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(stopPipe[1], &byte, 1);
}

// SIGINT and SIGTERM end the server through the event loop, so that the
// board is let go as the process ends.
void quitOnSignals(QCoreApplication& app) {
    if (::pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    auto* notifier = new QSocketNotifier(stopPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

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
    quitOnSignals(app);

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
extern "C" __attribute__((visibility("default"))) int qdctlServe(const qd::cli::Options& options) {
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

// qdctl's serve module: the board as an SCPI instrument on Qt Network. A
// module of its own, so that the one-shot commands load no Qt Network.

#include "qdctl/ModuleExport.h"
#include "serve/ServeBoard.h"
#include "serve/Serving.h"

namespace qd::cli {

namespace {

int run(const Options& o) {
    const scpi::ListenAddress address = listenAddress(o);
    const auto app = makeApplication();
    ServeBoard board(o);
    scpi::Instrument instrument(board.state(), board, QDCTL_VERSION);
    if (!o.device.empty()) {
        instrument.selectDevice(o.device);
    }
    scpi::Server server(instrument);
    const std::string where = listen(server, address, o);
    return serveUntilStopped(*app, server, where, o,
                             {{"board", QString::fromStdString(board.identifier())},
                              {"firmware", board.downloaded() ? "loaded" : "running"}},
                             "serving board " + board.identifier() + " as an SCPI instrument on " +
                                 where + " (firmware " +
                                 (board.downloaded() ? "loaded" : "already running") + ")");
}

} // namespace

} // namespace qd::cli

QDCTL_MODULE_EXPORT int qdctlServe(const qd::cli::Options& options) {
    return qd::cli::reportingFailures(options, qd::cli::run);
}

// qdctl's serve module: the board as an SCPI instrument on Qt Network. A
// module of its own, so that the one-shot commands load no Qt Network.

#include "serve/ServeBoard.h"
#include "session/ModuleExport.h"
#include "session/Serving.h"

namespace qd::serve {

namespace {

using session::listen;
using session::listenAddress;
using session::makeApplication;
using session::ServerOptions;
using session::serveUntilStopped;

int run(const ServerOptions& o) {
    const scpi::ListenAddress address = listenAddress(o);
    const auto app = makeApplication();
    ServeBoard board(o);
    Instrument instrument(board.state(), board, QDCTL_VERSION);
    if (!o.device.device.empty()) {
        instrument.selectDevice(o.device.device);
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

} // namespace qd::serve

QDCTL_MODULE_EXPORT int qdctlServe(const qd::session::ServerOptions& options) {
    return qd::session::reportingFailures(options, qd::serve::run);
}

#pragma once

// What qdctl's server modules (serve, sim-meter, sim-scope) do alike: an event loop,
// listening where --listen says, saying where on standard output, and
// serving until SIGINT or SIGTERM. Needs Qt Network: only the modules link
// it.

#include "scpi/Server.h"
#include "session/CommonOptions.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <memory>
#include <string>

namespace qd::session {

// The process's event loop, made before anything that needs it.
std::unique_ptr<QCoreApplication> makeApplication();

// The address --listen names, or Failure(BadArguments) naming it: taken
// before the board is touched, as every bad argument is.
scpi::ListenAddress listenAddress(const ServerOptions& options);

// Listens at `address`, or raises Failure(BadArguments). The address
// listened on, its port filled in.
std::string listen(scpi::Server& server, const scpi::ListenAddress& address,
                   const ServerOptions& options);

// Says where it listens ("listening on HOST:PORT", or with --json one
// object of `where`, the port and `more`), `message` on standard error,
// then serves until SIGINT or SIGTERM end the loop. qdctl's exit status.
int serveUntilStopped(QCoreApplication& app, const scpi::Server& server, const std::string& where,
                      const ServerOptions& options, const QJsonObject& more,
                      const std::string& message);

// How much of a simulated instrument's time (a reading's integration, an
// acquisition and its transfer) passes in real time, as the environment
// `variable` says: 1 unless told, 0 in tests; Failure(NoBoard) for
// anything but a number, 0 or more.
double simulatedTimeScale(const char* variable);

// A module's entry: `run`, with every failure reported and turned into its
// exit status, so that nothing is thrown across the module's edge.
int reportingFailures(const ServerOptions& options, int (*run)(const ServerOptions&));

} // namespace qd::session

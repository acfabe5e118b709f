// qdctl's sim-meter module: the simulated bench DMM served over SCPI on Qt
// Network. Its probes look at the simulated board's record, as a meter's
// leads sit on the output: it never claims the board.

#include "drivers/SimBoard.h"
#include "session/ExitStatus.h"
#include "session/ModuleExport.h"
#include "session/OutputRules.h"
#include "session/Serving.h"
#include "simmeter/SimMeter.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace qd::simmeter {

namespace {

using session::Failure;
using session::listen;
using session::listenAddress;
using session::makeApplication;
using session::NoBoard;
using session::ServerOptions;
using session::serveUntilStopped;
using session::writeMessage;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The board --board names, by index or serial, whose output the probes
// sit on.
drivers::SimConfig boardConfig(const session::CommonOptions& common) {
    if (environment("QD_BOARD") != "sim") {
        throw Failure(NoBoard, "the simulated meter's probes sit on the simulated board: set "
                               "QD_BOARD=sim, as for the programs that drive it");
    }
    try {
        return drivers::SimConfig::probed(common.board, common.boardSerial);
    } catch (const drivers::LinkFailure& e) {
        throw Failure(NoBoard, e.what());
    }
}

int run(const ServerOptions& o) {
    const scpi::ListenAddress address = listenAddress(o);
    const double scale = session::simulatedTimeScale("QD_METER_TIME_SCALE");
    const drivers::SimConfig config = boardConfig(o.common);
    // A converter other than the board's is refused now rather than at the
    // first reading.
    const drivers::SimOutput first = drivers::peekSimOutput(config);
    if (!first.result) {
        throw Failure(NoBoard, first.result.diagnostic);
    }
    const auto app = makeApplication();
    const auto probe = [config](std::uint64_t index) {
        const drivers::SimOutput output = drivers::peekSimOutput(config);
        if (!output.result) {
            writeMessage(output.result.diagnostic);
            throw std::runtime_error(output.result.diagnostic);
        }
        return output.model.outputVolts(boardmodel::kMeterOutputStream, index);
    };
    const auto integrate = [scale](double seconds) {
        if (scale > 0) {
            std::this_thread::sleep_for(std::chrono::duration<double>(seconds * scale));
        }
    };
    // qdctl checked both; the family's name as --family gave it, in any case.
    const Family* family = familyNamed(o.meter.family);
    const std::optional<Fault> fault = parseFault(o.meter.fault);
    if (!family || !fault) {
        throw Failure(session::BadArguments, "--family or --fault refused: \"" + o.meter.family +
                                                 "\", \"" + o.meter.fault + "\"");
    }
    SimMeter meter(probe, integrate, QDCTL_VERSION, first.model.converter.seed, *family, *fault);
    scpi::Server server(meter);
    const std::string where = listen(server, address, o);
    return serveUntilStopped(*app, server, where, o,
                             {{"model", QString::fromStdString(first.model.converter.text())},
                              {"family", QString::fromStdString(std::string(family->name))}},
                             "simulated DMM on " + where + ", probes on the simulated board (" +
                                 config.statePath + ")");
}

} // namespace

} // namespace qd::simmeter

QDCTL_MODULE_EXPORT int qdctlSimMeter(const qd::session::ServerOptions& options) {
    return qd::session::reportingFailures(options, qd::simmeter::run);
}

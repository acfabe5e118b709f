// qdctl's sim-scope module: the simulated oscilloscope served over SCPI on
// Qt Network. Its probe looks at the simulated board's record, as a probe
// sits on the output and the board's LDAC on its trigger input: it never
// claims the board.

#include "drivers/SimBoard.h"
#include "session/ExitStatus.h"
#include "session/ModuleExport.h"
#include "session/OutputRules.h"
#include "session/Serving.h"
#include "simscope/SimScope.h"

#include <QTimer>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace qd::simscope {

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

// The board --board names, by index or serial, whose output channel 1
// probes.
drivers::SimConfig boardConfig(const session::CommonOptions& common) {
    if (environment("QD_BOARD") != "sim") {
        throw Failure(NoBoard, "the simulated scope's probe sits on the simulated board: set "
                               "QD_BOARD=sim, as for the programs that drive it");
    }
    try {
        return drivers::SimConfig::probed(common.board, common.boardSerial);
    } catch (const drivers::LinkFailure& e) {
        throw Failure(NoBoard, e.what());
    }
}

bool sameStep(const boardmodel::BoardModel& a, const boardmodel::BoardModel& b) {
    return a.updates == b.updates && a.lastValue == b.lastValue && a.lastIndex == b.lastIndex &&
           a.previousValue == b.previousValue && a.previousIndex == b.previousIndex &&
           a.written == b.written && a.previousWritten == b.previousWritten;
}

// The board's last step whole: a look reads the record while the board's
// holder may be writing it, so looks are repeated until two agree.
boardmodel::BoardModel lookAt(const drivers::SimConfig& config) {
    const auto once = [&config] {
        drivers::SimOutput output = drivers::peekSimOutput(config);
        if (!output.result) {
            writeMessage(output.result.diagnostic);
            throw std::runtime_error(output.result.diagnostic);
        }
        return output.model;
    };
    boardmodel::BoardModel seen = once();
    for (int tries = 0; tries < 100; ++tries) {
        boardmodel::BoardModel again = once();
        if (sameStep(seen, again)) {
            return again;
        }
        seen = again;
    }
    return seen;
}

int run(const ServerOptions& o) {
    const scpi::ListenAddress address = listenAddress(o);
    const double scale = session::simulatedTimeScale("QD_SCOPE_TIME_SCALE");
    const drivers::SimConfig config = boardConfig(o.common);
    // A converter other than the board's is refused now rather than at the
    // first acquisition.
    const drivers::SimOutput first = drivers::peekSimOutput(config);
    if (!first.result) {
        throw Failure(NoBoard, first.result.diagnostic);
    }
    const Family* family = familyNamed(o.scope.family);
    if (!family) {
        throw Failure(session::BadArguments, "--family refused: \"" + o.scope.family + "\"");
    }
    Limits limits;
    limits.bits = o.scope.bits;
    limits.bandwidthHz = o.scope.bandwidthHz;
    limits.maxSampleRate = o.scope.sampleRate;
    limits.recordLength = o.scope.points;
    limits.recoverySeconds = o.scope.recoveryNs * 1e-9;
    const auto app = makeApplication();
    SimScope scope([config] { return lookAt(config); }, QDCTL_VERSION, first.model.converter.seed,
                   *family, limits, scale);
    // Armed, it triggers at the first look after the board's update.
    QTimer watch;
    watch.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watch, &QTimer::timeout, [&scope] {
        try {
            scope.poll();
        } catch (const std::exception&) {
            // Said on standard error by the look; the next message reports it.
        }
    });
    watch.start(1);
    scpi::Server server(scope);
    const std::string where = listen(server, address, o);
    return serveUntilStopped(*app, server, where, o,
                             {{"model", QString::fromStdString(first.model.converter.text())},
                              {"family", QString::fromStdString(std::string(family->name))}},
                             "simulated scope on " + where +
                                 ", channel 1 on the simulated board (" + config.statePath + ")");
}

} // namespace

} // namespace qd::simscope

QDCTL_MODULE_EXPORT int qdctlSimScope(const qd::session::ServerOptions& options) {
    return qd::session::reportingFailures(options, qd::simscope::run);
}

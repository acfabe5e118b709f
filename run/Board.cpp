#include "run/Board.h"

#include "board/BoardFacts.h"
#include "meter/Meter.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "run/Recording.h"
#include "run/ResultsFile.h"
#include "session/ExitStatus.h"

#include <QCryptographicHash>

namespace qd::run {

using session::CommonOptions;
using session::DeviceChoice;
using session::Failure;
using session::fieldOf;
using session::listedBoard;
using session::MeterFailed;

measure::Program programOn(session::Session& session) {
    return [board = &session](std::int32_t code) {
        board->program(code);
        return static_cast<std::int32_t>(board->state.DacWord);
    };
}

namespace {

// The image's SHA-256, or "" when it is not one the link library would
// load: read once, bounded, from a regular file only, as the library reads
// it, so that a FIFO or a device in its place is never waited on.
std::string sha256Of(const std::string& path) {
    std::string text, why;
    if (!platform::readRegularFile(path, board::kMaxImageFileBytes, text, why)) {
        return {};
    }
    return QCryptographicHash::hash(QByteArrayView(text), QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

} // namespace

session::Opened openRecorded(const CommonOptions& common, const DeviceChoice& device, bool load,
                             Recording& recording, std::map<std::string, std::string> fields) {
    fields["device"] = device.device;
    if (!device.device.empty()) {
        fields["power_mode"] = device.mode;
    }
    fields["link"] = common.link == 2 ? "QNS_CYUSB_USB4" : "USBFunctions";
    if (platform::environment("QD_BOARD") == "sim") {
        const std::string model = platform::environment("QD_BOARD_MODEL");
        fields["converter_model"] = model.empty() ? "as the board was fitted" : model;
    }
    recording.begin(std::move(fields));
    session::Opened opened = openSession(common, device, load);
    // Read once the library has loaded it, or refused to: a path it cannot
    // load fails there, with the link's own status and words.
    recording.set("firmware_sha256", sha256Of(session::firmwarePathOf(common)));
    const int board = opened.session->board();
    const session::BoardFields listed = listedBoard(opened.session->binding(), board);
    recording.set("board", session::boardIdentifier(listed, board));
    recording.set("board_serial", fieldOf(listed, "serial"));
    return opened;
}

measure::LoopOutcome runWatched(const measure::Codes& codes, const measure::Program& program,
                                const measure::Probe& probe,
                                const std::vector<measure::Sink>& sinks,
                                measure::LoopSettings settings, const Context& context) {
    settings.stop = context.stop;
    Watcher* watcher = context.watcher;
    std::vector<measure::Sink> watched = sinks;
    if (watcher) {
        watcher->started(codes.size());
        settings.progress = [watcher, total = codes.size()](std::size_t done) {
            watcher->progress(done, total);
        };
        watched.emplace_back([watcher](const measure::Row& row) { watcher->measured(row); });
    }
    measure::LoopOutcome outcome = measure::runLoop(codes, program, probe, watched, settings);
    if (watcher) {
        watcher->finished();
    }
    return outcome;
}

void endLoop(const measure::LoopOutcome& outcome, std::size_t total, ResultsFile* csv,
             const Context& context) {
    if (!outcome.failure) {
        return;
    }
    try {
        std::rethrow_exception(outcome.failure);
    } catch (const Failure& f) {
        endEarly(f, outcome.rows, total, csv, context.stop());
    } catch (const meter::MeterError& e) {
        endEarly(Failure(MeterFailed, e.what()), outcome.rows, total, csv, context.stop());
    } catch (const measure::ProbeError& e) {
        endEarly(Failure(MeterFailed, e.what()), outcome.rows, total, csv, context.stop());
    }
}

} // namespace qd::run

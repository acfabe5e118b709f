#include "qdctl/Station.h"

#include "platform/StandardStreams.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/Progress.h"
#include "qdctl/StopSignals.h"
#include "run/Station.h"
#include "session/OutputRules.h"
#include "session/Session.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <chrono>
#include <cstdio>
#include <memory>

namespace qd::qdctl {

namespace {

using run::SlotRun;

std::string progressText(const SlotRun& slot) {
    if (slot.finished) {
        return slot.label() + ": ended, status " + std::to_string(slot.status);
    }
    if (slot.total == 0) {
        return slot.label() + ": starting";
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - slot.started).count();
    const double rate = elapsed > 0 ? static_cast<double>(slot.done) / elapsed : 0;
    const double left = rate > 0 ? static_cast<double>(slot.total - slot.done) / rate : 0;
    char text[160];
    std::snprintf(text, sizeof text, ": %zu/%zu codes (%zu%%), %s left", slot.done, slot.total,
                  100 * slot.done / slot.total, minutesAndSeconds(left).c_str());
    return slot.label() + text;
}

// The progress of every slot: one line each, redrawn in place on a terminal
// that can, a line per slot every few seconds otherwise (a log, a CI job).
class StationProgress : public run::StationWatcher {
  public:
    explicit StationProgress(bool enabled)
        : enabled_(enabled), redraw_(enabled && platform::canRedrawLines(platform::kStandardError)),
          shown_(std::chrono::steady_clock::now()) {}

    void started(const std::vector<SlotRun>& runs) override { slots_ = &runs; }

    void message(const SlotRun& slot, const std::string& line) override {
        clear();
        session::writeMessage(slot.label() + ": " + line);
        draw();
    }

    void tick() override {
        if (!enabled_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (redraw_) {
            clear();
            draw();
        } else if (now - shown_ >= std::chrono::seconds(5)) {
            for (const SlotRun& slot : *slots_) {
                if (!slot.finished) {
                    session::writeMessage(progressText(slot));
                }
            }
            shown_ = now;
        }
    }

    void finish() { clear(); }

  private:
    void clear() {
        if (drawn_ > 0) {
            std::fprintf(stderr, "\x1b[%zuA\r\x1b[J", drawn_);
            drawn_ = 0;
        }
    }
    void draw() {
        if (!redraw_ || slots_ == nullptr) {
            return;
        }
        for (const SlotRun& slot : *slots_) {
            std::fprintf(stderr, "%s\n", progressText(slot).c_str());
        }
        std::fflush(stderr);
        drawn_ = slots_->size();
    }

    const std::vector<SlotRun>* slots_ = nullptr;
    bool enabled_;
    bool redraw_;
    std::size_t drawn_ = 0;
    std::chrono::steady_clock::time_point shown_;
};

// Every slot's outcome: the summary table, or one JSON object.
void printStation(const run::StationResult& station, bool json) {
    if (!json) {
        session::writeStandardOutput(run::stationSummary(station));
        return;
    }
    QJsonArray array;
    for (const SlotRun& slot : station.slotRuns) {
        array.append(slot.json());
    }
    writeJson(
        {{"station", qstring(station.station)}, {"status", station.status}, {"slots", array}});
}

std::string extensionOf(const std::string& path) {
    return QFileInfo(qstring(path)).suffix().toStdString();
}

} // namespace

int runStation(const StationRequest& request, const session::CommonOptions& common) {
    run::StationSetup setup;
    setup.file = request.file;
    setup.stationSlots = run::readStationFile(request.file);
    setup.boards = session::makeBinding(common.link)->boards();
    setup.out = request.out;
    setup.resume = request.resume;
    setup.shared = run::sharedArguments(common.arguments);
    setup.commandLine = common.commandLine;
    setup.reportExtension = request.report.empty() ? "" : extensionOf(request.report);
    setup.plotExtension = request.plot.empty() ? "" : extensionOf(request.plot);

    // The slots are processes of this program, watched through Qt's loop.
    static int argc = 1;
    static char name[] = "qdctl";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QCoreApplication> app;
    if (QCoreApplication::instance() == nullptr) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    setup.program = QCoreApplication::applicationFilePath().toStdString();

    StationProgress progress(!common.quiet && !common.json);
    const StopOnSignals stopOnSignals;
    const run::StationResult station =
        run::runStation(setup, progress, [] { return stopSignal(); });
    progress.finish();
    printStation(station, common.json);
    return station.status;
}

} // namespace qd::qdctl

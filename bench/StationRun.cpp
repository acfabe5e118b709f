#include "bench/StationRun.h"

#include "session/ExitStatus.h"

#include <QThread>
#include <csignal>
#include <exception>
#include <utility>
#include <vector>

namespace qd::bench {

namespace {

// Tells the window's thread what the station's thread sees, by queued
// signals: a slot's state when it changed since it was last told.
class SignalWatcher final : public run::StationWatcher {
  public:
    explicit SignalWatcher(StationRun& run) : run_(run) {}

    void started(const std::vector<run::SlotRun>& runs) override {
        runs_ = &runs;
        told_.assign(runs.size(), SlotState{});
    }
    void message(const run::SlotRun& slot, const std::string& line) override {
        emit run_.notice(QString::fromStdString(slot.label() + ": " + line));
    }
    void tick() override {
        for (std::size_t i = 0; i < runs_->size(); ++i) {
            const SlotState now = slotStateOf((*runs_)[i]);
            if (now != told_[i]) {
                told_[i] = now;
                emit run_.slotChanged(static_cast<int>(i), now);
            }
        }
    }

  private:
    StationRun& run_;
    const std::vector<run::SlotRun>* runs_ = nullptr;
    std::vector<SlotState> told_;
};

} // namespace

SlotState slotStateOf(const run::SlotRun& slot) {
    SlotState state{slot.done, slot.total, slot.finished, slot.status, {}};
    if (slot.finished) {
        const QJsonValue verdict = slot.json().value("verdict");
        state.verdict = verdict.isString() ? verdict.toString() : QString();
    }
    return state;
}

StationRun::StationRun(run::StationSetup setup, QObject* parent)
    : QObject(parent), setup_(std::move(setup)) {
    qRegisterMetaType<SlotState>();
}

StationRun::~StationRun() {
    if (thread_) {
        stop();
        thread_->wait();
    }
}

void StationRun::start() {
    // The thread outlives every slot it starts (runStation returns once each
    // has ended), as a slot tied to its parent's life needs on Linux.
    thread_ = QThread::create([this] { work(); });
    thread_->setParent(this);
    connect(thread_, &QThread::finished, this, &StationRun::ended);
    thread_->start();
}

void StationRun::stop() {
    stop_ = SIGINT;
}

bool StationRun::running() const {
    return thread_ && thread_->isRunning();
}

void StationRun::work() {
    SignalWatcher watcher(*this);
    try {
        // runStation waits for its slots in an event loop of its own, which
        // this thread runs.
        result_ = std::make_unique<run::StationResult>(
            run::runStation(setup_, watcher, [this] { return stop_.load(); }));
    } catch (const session::Failure& f) {
        failure_ = QString::fromStdString(f.what());
    } catch (const std::exception& e) {
        // Anything else would end the program from the station's thread,
        // and the window with it.
        failure_ = QString::fromStdString(e.what());
    }
}

} // namespace qd::bench

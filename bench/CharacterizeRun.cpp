#include "bench/CharacterizeRun.h"

#include "control/RuntimeError.h"
#include "measure/Loop.h"
#include "run/Recording.h"
#include "session/ExitStatus.h"

#include <QThread>
#include <chrono>
#include <csignal>
#include <exception>
#include <utility>

namespace qd::bench {

namespace {

// Tells the window's thread what the run's thread sees, by queued signals:
// progress at most every 20 ms and at the end, since a signal per code of a
// fast run would queue more events than the window's loop can answer.
class SignalWatcher final : public run::Watcher {
  public:
    explicit SignalWatcher(CharacterizeRun& run) : run_(run) {}
    void started(std::size_t total) override { emit run_.started(total); }
    void progress(std::size_t done, std::size_t total) override {
        const auto now = std::chrono::steady_clock::now();
        if (done < total && now - told_ < std::chrono::milliseconds(20)) {
            return;
        }
        told_ = now;
        emit run_.progressed(done, total);
    }
    void measured(const measure::Row& row) override {
        if (row.values.empty()) {
            return;
        }
        double sum = 0;
        for (const double v : row.values) {
            sum += v;
        }
        run_.addReading(row.code, sum / static_cast<double>(row.values.size()));
    }

  private:
    CharacterizeRun& run_;
    std::chrono::steady_clock::time_point told_;
};

// qdctl characterize's exit status for `r`.
int statusOf(const run::CharacterizeResult& r) {
    return r.signal != 0      ? 128 + r.signal
           : r.endStatus != 0 ? r.endStatus
           : r.verdict.pass   ? session::Ok
                              : session::CheckFailed;
}

} // namespace

CharacterizeRun::CharacterizeRun(run::CharacterizeSetup setup, session::CommonOptions common,
                                 QObject* parent)
    : QObject(parent), setup_(std::move(setup)), common_(std::move(common)) {}

CharacterizeRun::~CharacterizeRun() {
    if (thread_) {
        stop();
        thread_->wait();
    }
}

void CharacterizeRun::start() {
    thread_ = QThread::create([this] { work(); });
    thread_->setParent(this);
    connect(thread_, &QThread::finished, this, &CharacterizeRun::ended);
    thread_->start();
}

void CharacterizeRun::stop() {
    stop_ = SIGINT;
}

bool CharacterizeRun::running() const {
    return thread_ && thread_->isRunning();
}

report::Points CharacterizeRun::takeReadings() {
    const std::lock_guard lock(readingsMutex_);
    report::Points taken;
    taken.swap(readings_);
    return taken;
}

void CharacterizeRun::addReading(double code, double volts) {
    const std::lock_guard lock(readingsMutex_);
    readings_.emplace_back(code, volts);
}

void CharacterizeRun::work() {
    SignalWatcher watcher(*this);
    try {
        run::Recording recording(common_, "characterize", run::Records::Many);
        run::Context context(recording);
        context.stop = [this] { return stop_.load(); };
        context.watcher = &watcher;
        context.notice = [this](const std::string& line) {
            emit notice(QString::fromStdString(line));
        };
        status_ = recording.around([&] {
            result_ = std::make_unique<run::CharacterizeResult>(
                run::characterize(setup_, common_, context));
            runId_ = QString::fromStdString(recording.id());
            return statusOf(*result_);
        });
    } catch (const session::Failure& f) {
        failure_ = QString::fromStdString(f.what());
        status_ = f.status();
    } catch (const control::RuntimeError& e) {
        failure_ = QString::fromStdString(e.what());
        status_ = session::LibraryFailed;
    } catch (const std::exception& e) {
        // Anything else would end the program from the run's thread, and the
        // window with it.
        failure_ = QString::fromStdString(e.what());
        status_ = session::LibraryFailed;
    }
}

} // namespace qd::bench

#pragma once

// A characterization run off the window's thread, on the engine as qdctl
// runs it: its own recording in the store, a stop that keeps the rows so
// far, its progress told back to the window's thread by signals.

#include "report/ReportData.h"
#include "run/Characterize.h"
#include "session/CommonOptions.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>
#include <mutex>

class QThread;

namespace qd::bench {

class CharacterizeRun : public QObject {
    Q_OBJECT

  public:
    CharacterizeRun(run::CharacterizeSetup setup, session::CommonOptions common,
                    QObject* parent = nullptr);
    ~CharacterizeRun() override;

    void start();
    // Ends the run before its next code, as Ctrl-C ends qdctl's: the rows
    // so far kept, the figures they allow given.
    void stop();
    bool running() const;

    // Once `ended`: the result, or the failure that left none.
    const run::CharacterizeResult* result() const { return result_.get(); }
    const QString& failure() const { return failure_; }
    // qdctl's exit status for what happened.
    int status() const { return status_; }
    const QString& runId() const { return runId_; }

    // The (code, mean volts) of each code measured since the last call: the
    // window takes them at its own pace, so that a fast run never floods its
    // event loop with a signal per code.
    report::Points takeReadings();
    // From the run's thread.
    void addReading(double code, double volts);

  signals:
    void started(qulonglong total);
    void progressed(qulonglong done, qulonglong total);
    void notice(const QString& line);
    void ended();

  private:
    void work();

    const run::CharacterizeSetup setup_;
    const session::CommonOptions common_;
    std::atomic<int> stop_{0};
    QThread* thread_ = nullptr;
    std::unique_ptr<run::CharacterizeResult> result_;
    QString failure_, runId_;
    int status_ = 0;
    std::mutex readingsMutex_;
    report::Points readings_;
};

} // namespace qd::bench

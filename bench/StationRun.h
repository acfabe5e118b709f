#pragma once

// A station run off the window's thread, on the engine as qdctl runs it:
// runStation with an event loop of its own on a thread of its own, each
// slot a qdctl characterize process; what it sees of its slots told back to
// the window's thread by queued signals.

#include "run/Station.h"

#include <QObject>
#include <QString>
#include <atomic>
#include <memory>

class QThread;

namespace qd::bench {

// A slot as the grid shows it.
struct SlotState {
    qulonglong done = 0, total = 0; // codes, as it last said
    bool finished = false;
    int status = 0;
    QString verdict; // "" until it ended with one

    bool operator==(const SlotState&) const = default;
};

// The state of `slot` now.
SlotState slotStateOf(const run::SlotRun& slot);

class StationRun : public QObject {
    Q_OBJECT

  public:
    explicit StationRun(run::StationSetup setup, QObject* parent = nullptr);
    ~StationRun() override;

    void start();
    // Ends every slot after its current code, as Ctrl-C ends qdctl's
    // station: their rows kept, each run recorded as interrupted.
    void stop();
    bool running() const;

    // Once `ended`: the station, or the failure that ran none of it.
    const run::StationResult* result() const { return result_.get(); }
    const QString& failure() const { return failure_; }

  signals:
    void slotChanged(int index, const qd::bench::SlotState& state);
    // A line a slot wrote for its user, naming the slot.
    void notice(const QString& line);
    void ended();

  private:
    void work();

    const run::StationSetup setup_;
    std::atomic<int> stop_{0};
    QThread* thread_ = nullptr;
    std::unique_ptr<run::StationResult> result_;
    QString failure_;
};

} // namespace qd::bench

Q_DECLARE_METATYPE(qd::bench::SlotState)

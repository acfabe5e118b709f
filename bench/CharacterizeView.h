#pragma once

// The Characterize view: a characterization's setup, Start and Stop, its
// progress and time left, then its verdict, figures and INL, with the
// report saved on request. Each action that measures or writes is given
// to the log as its qdctl command line.

#include "bench/LivePlot.h"
#include "run/Characterize.h"
#include "session/CommonOptions.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QThread>
#include <QWidget>
#include <memory>

class QComboBox;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTimer;

namespace qd::bench {

class CharacterizeRun;
class PlotView;

class CharacterizeView : public QWidget {
    Q_OBJECT

  public:
    // `common`: what qdctl would be given before the command (the store,
    // the board); the window's own, as its user set them.
    explicit CharacterizeView(session::CommonOptions common, QWidget* parent = nullptr);
    ~CharacterizeView() override;

    // The setup as the form says it: what Start hands the engine.
    run::CharacterizeSetup setup() const;
    bool running() const;
    // The board a run here opened, by its serial ("" for none): the link
    // library lets go of it only as the window closes.
    const std::string& boardHeld() const { return boardHeld_; }

  public slots:
    void start();
    void stop();
    // Finishes the interrupted run whose CSV is at `csv`, with this setup
    // (which must be the one it was measured with), as --resume does.
    void resume(const QString& csv);
    void saveReport(const QString& path);

  signals:
    // A qdctl command line that does what was just done.
    void command(const QString& line);
    // A line for the log: a notice of the run, an error.
    void message(const QString& line);
    // The run is over and what it gave is shown.
    void shown();

  private:
    QWidget* makeSetupForm();
    QWidget* makeOutcome();
    void progressed(qulonglong done, qulonglong total);
    void ended();
    void showResult(const run::CharacterizeResult& result);
    void chooseReport();
    void chooseResume();
    void drawLive();
    void testMeter();
    // The setup a user keeps from one session to the next; a unit's own
    // (its serial, its note, its CSV) is not carried over to the next unit.
    void remember() const;
    void recall();

    session::CommonOptions common_;
    QComboBox* device_ = nullptr;
    QComboBox* codes_ = nullptr;
    QSpinBox* samples_ = nullptr;
    QDoubleSpinBox* settle_ = nullptr;
    QLineEdit *meter_ = nullptr, *limits_ = nullptr, *csv_ = nullptr, *serial_ = nullptr,
              *operator_ = nullptr, *temperature_ = nullptr, *note_ = nullptr;
    QPushButton *start_ = nullptr, *stop_ = nullptr, *save_ = nullptr, *testMeter_ = nullptr,
                *resume_ = nullptr;
    QString resumeFrom_;  // the CSV the next Start finishes, for that Start only
    QString interrupted_; // the CSV of the last run that did not end
    QLabel* meterIdentity_ = nullptr;
    QPointer<QThread> asking_; // the meter's Test, while it waits for an answer
    QProgressBar* progress_ = nullptr;
    QLabel *timeLeft_ = nullptr, *verdict_ = nullptr, *error_ = nullptr, *csvShown_ = nullptr;
    QTableWidget* figures_ = nullptr;
    PlotView *output_ = nullptr, *inl_ = nullptr;
    QTimer* live_ = nullptr;
    LivePlot livePlot_;
    QElapsedTimer clock_;
    std::unique_ptr<CharacterizeRun> run_;
    std::unique_ptr<run::CharacterizeResult> result_; // the last run's
    QString runId_;
    std::string boardHeld_;
};

} // namespace qd::bench

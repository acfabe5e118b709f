#pragma once

// The Station view: a station's slots (board, meter, DUT serial), opened
// from a station file or edited in a grid and saved as one; Start runs
// them all at once as qdctl characterize --station does, each slot's
// progress, status and verdict shown live, then the station's summary;
// Stop ends every slot after its current code, its rows kept. What every
// slot shares is the Characterize tab's setup.

#include "run/Characterize.h"
#include "run/Station.h"
#include "session/CommonOptions.h"

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;

namespace qd::bench {

class StationRun;
struct SlotState;

class StationView : public QWidget {
    Q_OBJECT

  public:
    // `shared`: the characterize setup every slot shares (its meter, serial
    // and CSV are each slot's own and left out). `heldBoard`: the serial of
    // the board this window measured and holds till it closes, "" for none;
    // a slot's qdctl would find it busy.
    StationView(session::CommonOptions common, std::function<run::CharacterizeSetup()> shared,
                std::function<std::string()> heldBoard, QWidget* parent = nullptr);
    ~StationView() override;

    // The qdctl each slot runs: the one beside this program unless told.
    void setProgram(const QString& program) { program_ = program; }
    bool running() const;

  public slots:
    void openStation(const QString& path);
    void saveStation(const QString& path);
    void addSlot(const QString& board = {}, const QString& meter = {}, const QString& dut = {});
    void start();
    void stop();

  signals:
    // A qdctl command line that does what was just done.
    void command(const QString& line);
    // A line for the log: a slot's notice, an error.
    void message(const QString& line);
    // A slot's row changed as its qdctl told.
    void progressed();
    // The station is over and its summary shown.
    void shown();

  private:
    QWidget* makeStationControls();
    QWidget* makeRunControls();
    void fillGrid(const std::vector<run::StationSlot>& stationSlots);
    std::string gridText() const;
    void writeStation(const QString& path);
    run::StationSetup prepare();
    void refuseHeldBoard(const run::StationSetup& setup) const;
    void showSlot(int row, const SlotState& state);
    void setEditable(bool editable);
    void ended();
    void fail(const QString& why);

    session::CommonOptions common_;
    std::function<run::CharacterizeSetup()> shared_;
    std::function<std::string()> heldBoard_;
    QString program_;
    QString file_;      // the station file the grid shows, "" for none
    bool dirty_ = true; // the grid differs from file_
    QTableWidget* grid_ = nullptr;
    QLineEdit* out_ = nullptr;
    QComboBox* report_ = nullptr;
    QLabel *fileShown_ = nullptr, *error_ = nullptr;
    QPushButton *open_ = nullptr, *save_ = nullptr, *add_ = nullptr, *remove_ = nullptr,
                *start_ = nullptr, *stop_ = nullptr;
    QPlainTextEdit* summary_ = nullptr;
    std::unique_ptr<StationRun> run_;
};

} // namespace qd::bench

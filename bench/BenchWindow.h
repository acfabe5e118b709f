#pragma once

// The bench window: a tab per view, the log of what was done (each action
// as its qdctl command line) below them. It only connects the views.

#include "session/CommonOptions.h"

#include <QMainWindow>

class QPlainTextEdit;
class QTabWidget;

namespace qd::bench {

class CharacterizeView;
class DatasheetView;
class HistoryView;
class StationView;

class BenchWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit BenchWindow(const session::CommonOptions& common, QWidget* parent = nullptr);

    CharacterizeView* characterizeView() const { return characterize_; }
    DatasheetView* datasheetView() const { return datasheet_; }
    HistoryView* historyView() const { return history_; }
    StationView* stationView() const { return station_; }

  public slots:
    // A command line, as the user would type it.
    void logCommand(const QString& line);
    // Anything else worth keeping in view: a notice, an error.
    void logMessage(const QString& line);
    // The command lines logged so far as a script: for cmd when `path`
    // ends in .cmd or .bat, else for a POSIX shell. False, with the reason
    // logged, when it cannot be written.
    bool saveScript(const QString& path);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void chooseScript();

    QStringList commands_; // every command line logged, in order
    QTabWidget* tabs_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    CharacterizeView* characterize_ = nullptr;
    DatasheetView* datasheet_ = nullptr;
    HistoryView* history_ = nullptr;
    StationView* station_ = nullptr;
};

} // namespace qd::bench

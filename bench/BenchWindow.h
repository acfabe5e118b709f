#pragma once

// The bench window: a tab per view, the log of what was done (each action
// as its qdctl command line) below them. It only connects the views.

#include "session/CommonOptions.h"

#include <QMainWindow>

class QPlainTextEdit;
class QTabWidget;

namespace qd::bench {

class CharacterizeView;
class StationView;

class BenchWindow : public QMainWindow {
    Q_OBJECT

  public:
    explicit BenchWindow(const session::CommonOptions& common, QWidget* parent = nullptr);

    CharacterizeView* characterizeView() const { return characterize_; }
    StationView* stationView() const { return station_; }

  public slots:
    // A command line, as the user would type it.
    void logCommand(const QString& line);
    // Anything else worth keeping in view: a notice, an error.
    void logMessage(const QString& line);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    QTabWidget* tabs_ = nullptr;
    QPlainTextEdit* log_ = nullptr;
    CharacterizeView* characterize_ = nullptr;
    StationView* station_ = nullptr;
};

} // namespace qd::bench

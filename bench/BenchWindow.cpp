#include "bench/BenchWindow.h"

#include "bench/CharacterizeView.h"
#include "bench/StationView.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QTabWidget>

namespace qd::bench {

BenchWindow::BenchWindow(const session::CommonOptions& common, QWidget* parent)
    : QMainWindow(parent) {
    setWindowTitle("QD1600 Bench");
    tabs_ = new QTabWidget;
    tabs_->setObjectName("views");
    characterize_ = new CharacterizeView(common);
    characterize_->setObjectName("characterizeView");
    tabs_->addTab(characterize_, "&Characterize");
    // Every slot shares the Characterize tab's setup, and keeps off the
    // board that tab holds.
    station_ = new StationView(
        common, [this] { return characterize_->setup(); },
        [this] { return characterize_->boardHeld(); });
    station_->setObjectName("stationView");
    tabs_->addTab(station_, "&Station");
    log_ = new QPlainTextEdit;
    log_->setObjectName("log");
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(10000);
    QFont fixed("Monospace");
    fixed.setStyleHint(QFont::Monospace);
    log_->setFont(fixed);
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(tabs_);
    split->addWidget(log_);
    split->setStretchFactor(0, 4);
    split->setStretchFactor(1, 1);
    setCentralWidget(split);
    connect(characterize_, &CharacterizeView::command, this, &BenchWindow::logCommand);
    connect(characterize_, &CharacterizeView::message, this, &BenchWindow::logMessage);
    connect(station_, &StationView::command, this, &BenchWindow::logCommand);
    connect(station_, &StationView::message, this, &BenchWindow::logMessage);
    resize(1100, 760);
}

void BenchWindow::logCommand(const QString& line) {
    log_->appendPlainText("$ " + line);
}

void BenchWindow::logMessage(const QString& line) {
    log_->appendPlainText("# " + line);
}

void BenchWindow::closeEvent(QCloseEvent* event) {
    if (!characterize_->running() && !station_->running()) {
        event->accept();
        return;
    }
    // Closing mid-run ends it as Ctrl-C ends qdctl: its rows kept.
    const QString what = characterize_->running() ? "A characterization" : "A station";
    if (QMessageBox::question(this, windowTitle(),
                              what + " is running. Stop it, keep its rows so far "
                                     "and close?") != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    characterize_->stop();
    station_->stop();
    event->accept();
}

} // namespace qd::bench

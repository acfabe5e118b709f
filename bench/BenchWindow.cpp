#include "bench/BenchWindow.h"

#include "bench/CharacterizeView.h"
#include "bench/HistoryView.h"

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
    history_ = new HistoryView(common);
    history_->setObjectName("historyView");
    tabs_->addTab(history_, "&History");
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
    connect(history_, &HistoryView::command, this, &BenchWindow::logCommand);
    connect(history_, &HistoryView::message, this, &BenchWindow::logMessage);
    resize(1100, 760);
}

void BenchWindow::logCommand(const QString& line) {
    log_->appendPlainText("$ " + line);
}

void BenchWindow::logMessage(const QString& line) {
    log_->appendPlainText("# " + line);
}

void BenchWindow::closeEvent(QCloseEvent* event) {
    // Closing mid-run ends it as Ctrl-C ends qdctl: its rows kept.
    if (characterize_->running() &&
        QMessageBox::question(this, windowTitle(),
                              "A characterization is running. Stop it, keep its rows so far "
                              "and close?") != QMessageBox::Yes) {
        event->ignore();
        return;
    }
    characterize_->stop();
    // A push ends its waits for the server: what it copied stays, and the
    // next push copies the rest.
    history_->stop();
    event->accept();
}

} // namespace qd::bench

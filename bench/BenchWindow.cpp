#include "bench/BenchWindow.h"

#include "bench/CharacterizeView.h"
#include "bench/DatasheetView.h"
#include "bench/HistoryView.h"
#include "bench/Script.h"
#include "bench/StationView.h"
#include "results/Database.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QShortcut>
#include <QSplitter>
#include <QSysInfo>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace qd::bench {

BenchWindow::BenchWindow(const session::CommonOptions& common, QWidget* parent)
    : QMainWindow(parent) {
    setWindowTitle("QD1600 Bench");
    tabs_ = new QTabWidget;
    tabs_->setObjectName("views");
    characterize_ = new CharacterizeView(common);
    characterize_->setObjectName("characterizeView");
    tabs_->addTab(characterize_, "Characterize");
    // Every slot shares the Characterize tab's setup, and keeps off the
    // board that tab holds.
    station_ = new StationView(
        common, [this] { return characterize_->setup(); },
        [this] { return characterize_->boardHeld(); });
    station_->setObjectName("stationView");
    tabs_->addTab(station_, "Station");
    history_ = new HistoryView(common);
    history_->setObjectName("historyView");
    tabs_->addTab(history_, "History");
    datasheet_ = new DatasheetView(common);
    datasheet_->setObjectName("datasheetView");
    tabs_->addTab(datasheet_, "Datasheet");
    // The views by Ctrl+1 to Ctrl+4 (and Ctrl+Tab): a letter of their own
    // would take Alt+letter from the buttons and fields inside them.
    for (int i = 0; i < tabs_->count(); ++i) {
        auto* go =
            new QShortcut(QKeySequence(Qt::CTRL | static_cast<Qt::Key>(Qt::Key_1 + i)), this);
        connect(go, &QShortcut::activated, tabs_, [this, i] { tabs_->setCurrentIndex(i); });
        tabs_->setTabToolTip(i, QStringLiteral("Ctrl+%1").arg(i + 1));
    }
    log_ = new QPlainTextEdit;
    log_->setObjectName("log");
    log_->setReadOnly(true);
    log_->setMaximumBlockCount(10000);
    QFont fixed("Monospace");
    fixed.setStyleHint(QFont::Monospace);
    log_->setFont(fixed);
    auto* script = new QPushButton("Save as scr&ipt…");
    script->setObjectName("saveScript");
    script->setToolTip("The commands above as a script that does it all again");
    connect(script, &QPushButton::clicked, this, &BenchWindow::chooseScript);
    auto* logPane = new QWidget;
    auto* logLayout = new QVBoxLayout(logPane);
    logLayout->setContentsMargins(0, 0, 0, 0);
    logLayout->addWidget(log_, 1);
    logLayout->addWidget(script, 0, Qt::AlignRight);
    QMenu* file = menuBar()->addMenu("&File");
    file->addAction("Save as &script…", QKeySequence::Save, this, &BenchWindow::chooseScript);
    file->addSeparator();
    // Windows has no standard key for it: Ctrl+Q everywhere.
    file->addAction("&Quit", QKeySequence(Qt::CTRL | Qt::Key_Q), this, &QWidget::close);
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(tabs_);
    split->addWidget(logPane);
    split->setStretchFactor(0, 4);
    split->setStretchFactor(1, 1);
    setCentralWidget(split);
    connect(characterize_, &CharacterizeView::command, this, &BenchWindow::logCommand);
    connect(characterize_, &CharacterizeView::message, this, &BenchWindow::logMessage);
    connect(station_, &StationView::command, this, &BenchWindow::logCommand);
    connect(station_, &StationView::message, this, &BenchWindow::logMessage);
    connect(history_, &HistoryView::command, this, &BenchWindow::logCommand);
    connect(history_, &HistoryView::message, this, &BenchWindow::logMessage);
    connect(datasheet_, &DatasheetView::command, this, &BenchWindow::logCommand);
    connect(datasheet_, &DatasheetView::message, this, &BenchWindow::logMessage);
    // Large enough for the figures beside the setup, never beyond the screen.
    const QSize room = screen() ? screen()->availableSize() : QSize(1100, 760);
    resize(std::min(1100, room.width() * 95 / 100), std::min(760, room.height() * 95 / 100));
}

void BenchWindow::logCommand(const QString& line) {
    commands_ << line;
    log_->appendPlainText("$ " + line);
}

void BenchWindow::logMessage(const QString& line) {
    log_->appendPlainText("# " + line);
}

void BenchWindow::chooseScript() {
    const bool windows = QSysInfo::productType() == "windows";
    const QString path =
        QFileDialog::getSaveFileName(this, "Save as script", windows ? "session.cmd" : "session.sh",
                                     windows ? "Command script (*.cmd);;Shell script (*.sh)"
                                             : "Shell script (*.sh);;Command script (*.cmd)");
    if (!path.isEmpty()) {
        saveScript(path);
    }
}

bool BenchWindow::saveScript(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    ScriptSetup setup;
    setup.kind = suffix == "cmd" || suffix == "bat" ? ScriptKind::Cmd : ScriptKind::Sh;
    for (const QString& line : commands_) {
        setup.lines.push_back(line.toStdString());
    }
    setup.programFolder =
        QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();
    // What qdctl reads from its environment that decides what it measures
    // and where it keeps it; a store's password stays out, as in the log.
    for (const char* name :
         {"QD_BOARD", "QD_BOARD_COUNT", "QD_BOARD_MODEL", "QD_BOARD_VREF", "QD_RESULTS"}) {
        if (qEnvironmentVariableIsSet(name)) {
            setup.environment.emplace_back(
                name, results::withoutPassword(qEnvironmentVariable(name).toStdString()));
        }
    }
    setup.when = QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
    QSaveFile out(path);
    const std::string text = scriptText(setup);
    if (!out.open(QIODevice::WriteOnly) ||
        out.write(text.data(), static_cast<qint64>(text.size())) !=
            static_cast<qint64>(text.size()) ||
        !out.commit()) {
        logMessage("cannot write the script " + path + ": " + out.errorString());
        return false;
    }
    if (setup.kind == ScriptKind::Sh) {
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner |
                                        QFileDevice::ExeGroup | QFileDevice::ExeOther);
    }
    logMessage("script written: " + path + " (" + QString::number(commands_.size()) + " commands)");
    return true;
}

void BenchWindow::closeEvent(QCloseEvent* event) {
    // Closing mid-run ends it as Ctrl-C ends qdctl: its rows kept.
    if (characterize_->running() || station_->running()) {
        const QString what = characterize_->running() ? "A characterization" : "A station";
        if (QMessageBox::question(this, windowTitle(),
                                  what + " is running. Stop it, keep its rows so far and close?") !=
            QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    characterize_->stop();
    station_->stop();
    // A push ends its waits for the server: what it copied stays, and the
    // next push copies the rest.
    history_->stop();
    event->accept();
}

} // namespace qd::bench

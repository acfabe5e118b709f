#include "bench/StationView.h"

#include "bench/CommandLine.h"
#include "bench/StationRun.h"
#include "bench/Widgets.h"
#include "results/Database.h"
#include "session/ExitStatus.h"
#include "session/Session.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <utility>

namespace qd::bench {

namespace {

enum Column { Board, Meter, Dut, Progress, Status, Verdict, Columns };

// A table's own, restored after a run.
constexpr QAbstractItemView::EditTriggers kEditTriggers = QAbstractItemView::DoubleClicked |
                                                          QAbstractItemView::EditKeyPressed |
                                                          QAbstractItemView::AnyKeyPressed;

// A board named by its index, as qdctl list numbers them: that number.
std::optional<int> boardIndex(const std::string& board) {
    bool ok = false;
    const int index = qs(board).toInt(&ok);
    return ok && board.size() <= 3 ? std::optional(index) : std::nullopt;
}

// Whether `board` (a slot's, by serial or index) is the board whose serial
// is `serial`, as the link library lists them.
bool sameBoard(const std::string& board, const std::string& serial,
               const std::optional<std::vector<std::string>>& listed) {
    if (qs(board).compare(qs(serial), Qt::CaseInsensitive) == 0) {
        return true;
    }
    const auto index = boardIndex(board);
    for (const std::string& line : listed.value_or(std::vector<std::string>{})) {
        const session::BoardFields fields = session::boardFields(line);
        if (index && qs(session::fieldOf(fields, "serial")) == qs(serial) &&
            boardIndex(session::fieldOf(fields, "id")) == index) {
            return true;
        }
    }
    return false;
}

// The qdctl installed beside the window, as it finds its other parts.
QString qdctlBesideThisProgram() {
#ifdef Q_OS_WIN
    const char* const name = "qdctl.exe";
#else
    const char* const name = "qdctl";
#endif
    return QDir(qs(session::programFolder())).filePath(name);
}

// What a slot's row says of it.
QString statusText(const SlotState& state) {
    if (state.finished) {
        return QStringLiteral("ended, status %1").arg(state.status);
    }
    return state.total == 0 ? QStringLiteral("starting")
                            : QStringLiteral("%1/%2 codes").arg(state.done).arg(state.total);
}

} // namespace

StationView::StationView(session::CommonOptions common,
                         std::function<run::CharacterizeSetup()> shared,
                         std::function<std::string()> heldBoard, QWidget* parent)
    : QWidget(parent), common_(std::move(common)), shared_(std::move(shared)),
      heldBoard_(std::move(heldBoard)), program_(qdctlBesideThisProgram()) {
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(makeStationControls());
    grid_ = new QTableWidget(0, Columns);
    grid_->setObjectName("stationGrid");
    grid_->setHorizontalHeaderLabels(
        {"board", "meter resource", "DUT serial", "progress", "status", "verdict"});
    grid_->horizontalHeader()->setStretchLastSection(true);
    grid_->setColumnWidth(Meter, 260);
    connect(grid_, &QTableWidget::itemChanged, this, [this](const QTableWidgetItem* item) {
        if (item->column() < Progress) {
            dirty_ = true;
        }
    });
    layout->addWidget(grid_, 2);
    layout->addWidget(makeRunControls());
    summary_ = new QPlainTextEdit;
    summary_->setObjectName("stationSummary");
    summary_->setReadOnly(true);
    QFont fixed("Monospace");
    fixed.setStyleHint(QFont::Monospace);
    summary_->setFont(fixed);
    layout->addWidget(summary_, 1);
}

StationView::~StationView() = default;

QWidget* StationView::makeStationControls() {
    auto* box = new QWidget;
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, 0, 0, 0);
    open_ = button("&Open…", "stationOpen");
    save_ = button("Sa&ve…", "stationSave");
    add_ = button("&Add slot", "stationAdd");
    remove_ = button("Re&move slot", "stationRemove");
    fileShown_ = new QLabel;
    fileShown_->setObjectName("stationFile");
    fileShown_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    for (QPushButton* b : {open_, save_, add_, remove_}) {
        row->addWidget(b);
    }
    row->addWidget(fileShown_, 1);
    connect(open_, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, "Open station file");
        if (!path.isEmpty()) {
            openStation(path);
        }
    });
    connect(save_, &QPushButton::clicked, this, [this] {
        const QString path = QFileDialog::getSaveFileName(this, "Save station file", file_);
        if (!path.isEmpty()) {
            saveStation(path);
        }
    });
    connect(add_, &QPushButton::clicked, this, [this] { addSlot(); });
    connect(remove_, &QPushButton::clicked, this, [this] {
        if (grid_->currentRow() >= 0) {
            grid_->removeRow(grid_->currentRow());
            dirty_ = true;
        }
    });
    return box;
}

QWidget* StationView::makeRunControls() {
    auto* box = new QWidget;
    auto* fields = new QFormLayout(box);
    out_ = new QLineEdit;
    out_->setObjectName("stationOut");
    out_->setPlaceholderText("empty: the current folder");
    auto* browse = button("&Browse…", "stationBrowse");
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString folder = QFileDialog::getExistingDirectory(this, "Output folder");
        if (!folder.isEmpty()) {
            out_->setText(folder);
        }
    });
    auto* outRow = new QHBoxLayout;
    outRow->addWidget(out_, 1);
    outRow->addWidget(browse);
    // A row of a field and its button: the label names the field itself.
    auto* outLabel = new QLabel("O&utput folder");
    outLabel->setBuddy(out_);
    fields->addRow(outLabel, outRow);
    report_ = new QComboBox;
    report_->setObjectName("stationReport");
    report_->addItems({"none", "pdf", "html"});
    fields->addRow("Re&port of each slot", report_);
    auto* shared = new QLabel("Each slot is characterized with the Characterize tab's setup "
                              "(device, codes, samples, settle, limits, operator, temperature, "
                              "note); its board, meter, serial and files are its own.");
    shared->setWordWrap(true);
    fields->addRow(shared);
    start_ = button("S&tart station", "stationStart");
    stop_ = button("Stop a&ll", "stationStop");
    stop_->setEnabled(false);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    fields->addRow(buttons);
    error_ = new QLabel;
    error_->setObjectName("stationError");
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    fields->addRow(error_);
    connect(start_, &QPushButton::clicked, this, &StationView::start);
    connect(stop_, &QPushButton::clicked, this, &StationView::stop);
    return box;
}

void StationView::addSlot(const QString& board, const QString& meter, const QString& dut) {
    const QSignalBlocker quiet(grid_);
    const int row = grid_->rowCount();
    grid_->insertRow(row);
    grid_->setItem(row, Board, new QTableWidgetItem(board));
    grid_->setItem(row, Meter, new QTableWidgetItem(meter));
    grid_->setItem(row, Dut, new QTableWidgetItem(dut));
    for (const int column : {Status, Verdict}) {
        auto* item = new QTableWidgetItem;
        item->setFlags(item->flags() & ~Qt::ItemIsEditable);
        grid_->setItem(row, column, item);
    }
    auto* bar = new QProgressBar;
    bar->setValue(0);
    grid_->setCellWidget(row, Progress, bar);
    dirty_ = true;
}

void StationView::fillGrid(const std::vector<run::StationSlot>& stationSlots) {
    grid_->setRowCount(0);
    for (const run::StationSlot& slot : stationSlots) {
        addSlot(qs(slot.board), qs(slot.meter), qs(slot.dut));
    }
}

std::string StationView::gridText() const {
    std::string text;
    for (int row = 0; row < grid_->rowCount(); ++row) {
        std::string line;
        for (const int column : {Board, Meter, Dut}) {
            const QTableWidgetItem* item = grid_->item(row, column);
            const QString cell = item ? item->text().trimmed() : QString();
            if (!cell.isEmpty()) {
                line += (line.empty() ? "" : " ") + cell.toStdString();
            }
        }
        // An empty row is no slot; a comment line in its place keeps the
        // file's line numbers, which the refusals name, the grid's rows.
        text += line.empty() ? "#\n" : line + "\n";
    }
    return text;
}

void StationView::openStation(const QString& path) {
    try {
        fillGrid(run::readStationFile(path.toStdString()));
    } catch (const session::Failure& f) {
        fail(qs(f.what()));
        return;
    }
    file_ = QFileInfo(path).absoluteFilePath();
    fileShown_->setText(file_);
    dirty_ = false;
    error_->clear();
}

void StationView::writeStation(const QString& path) {
    QSaveFile file(path);
    const QByteArray text = QByteArray::fromStdString(gridText());
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
        throw session::Failure(session::WriteFailed, "cannot write " + path.toStdString() + ": " +
                                                         file.errorString().toStdString());
    }
    file_ = QFileInfo(path).absoluteFilePath();
    fileShown_->setText(file_);
    dirty_ = false;
    emit message("station file written: " + file_);
}

void StationView::saveStation(const QString& path) {
    try {
        writeStation(path);
    } catch (const session::Failure& f) {
        fail(qs(f.what()));
    }
}

bool StationView::running() const {
    return run_ && run_->running();
}

void StationView::refuseHeldBoard(const run::StationSetup& setup) const {
    const std::string held = heldBoard_ ? heldBoard_() : std::string();
    if (held.empty()) {
        return;
    }
    for (const run::StationSlot& slot : setup.stationSlots) {
        if (sameBoard(slot.board, held, setup.boards)) {
            throw session::Failure(
                session::BadArguments,
                setup.file + ":" + std::to_string(slot.line) + ": the board " + slot.board +
                    " is held by this window, which measured it in the Characterize tab, until "
                    "it closes; its slot's qdctl would find it busy: give the slot another board");
        }
    }
}

// The station as qdctl characterize --station would run it from the line
// logged: the slots from the file (the grid written to one in the output
// folder when it was not saved), checked as qdctl checks them.
run::StationSetup StationView::prepare() {
    run::CharacterizeSetup shared = shared_();
    // Each slot's own, from its row, as qdctl refuses them with --station.
    shared.meter.clear();
    shared.serial.clear();
    shared.csv.clear();
    run::checkSetup(shared);
    run::StationSetup s;
    s.out = QDir(out_->text().trimmed().isEmpty() ? "." : out_->text().trimmed())
                .absolutePath()
                .toStdString();
    const bool unsaved = dirty_ || file_.isEmpty();
    s.file =
        unsaved ? QDir(qs(s.out)).filePath("bench.station").toStdString() : file_.toStdString();
    const std::string text = gridText();
    s.stationSlots =
        unsaved ? run::parseStation(text, s.file) : run::readStationFile(file_.toStdString());
    s.boards = session::makeBinding(common_.link)->boards();
    refuseHeldBoard(s);
    if (report_->currentIndex() > 0) {
        s.reportExtension = report_->currentText().toStdString();
        // Its extension alone names the kind of each slot's report.
        shared.report = "report." + s.reportExtension;
    }
    std::vector<std::string> arguments = characterizeArguments(shared, common_);
    arguments.insert(arguments.end(), {"--station", s.file, "--out", s.out});
    s.commandLine = shellLine(arguments);
    s.shared = run::sharedArguments({arguments.begin() + 1, arguments.end()});
    for (std::size_t i = 0; i + 1 < s.shared.size(); ++i) {
        if (s.shared[i] == "--results") {
            // The log leaves a store's password out; the slots need it.
            s.shared[i + 1] = common_.results;
        }
    }
    s.program = program_.toStdString();
    run::checkStation(s);
    // Row N the slot N its summary names.
    fillGrid(s.stationSlots);
    dirty_ = false;
    if (unsaved) {
        QDir().mkpath(qs(s.out));
        writeStation(qs(s.file));
    }
    return s;
}

void StationView::start() {
    if (running()) {
        return;
    }
    error_->clear();
    run::StationSetup setup;
    try {
        setup = prepare();
    } catch (const session::Failure& f) {
        fail(qs(f.what()));
        return;
    } catch (const std::exception& e) {
        // The link library's own, listing the boards.
        fail(qs(e.what()));
        return;
    }
    emit command(qs(setup.commandLine));
    summary_->clear();
    for (int row = 0; row < grid_->rowCount(); ++row) {
        showSlot(row, SlotState{});
    }
    run_ = std::make_unique<StationRun>(std::move(setup));
    connect(run_.get(), &StationRun::slotChanged, this, [this](int row, const SlotState& state) {
        showSlot(row, state);
        emit progressed();
    });
    connect(run_.get(), &StationRun::notice, this, &StationView::message);
    connect(run_.get(), &StationRun::ended, this, &StationView::ended);
    setEditable(false);
    run_->start();
}

void StationView::stop() {
    if (running()) {
        run_->stop();
    }
}

void StationView::showSlot(int row, const SlotState& state) {
    if (row >= grid_->rowCount()) {
        return;
    }
    if (auto* bar = qobject_cast<QProgressBar*>(grid_->cellWidget(row, Progress))) {
        bar->setRange(0, state.total > 0 ? static_cast<int>(state.total) : 1);
        bar->setValue(static_cast<int>(state.done));
    }
    grid_->item(row, Status)->setText(statusText(state));
    QTableWidgetItem* verdict = grid_->item(row, Verdict);
    verdict->setText(state.verdict);
    verdict->setForeground(state.verdict.isEmpty()   ? palette().text()
                           : state.verdict == "PASS" ? QBrush(QColor("#2e7d32"))
                                                     : QBrush(QColor("#c62828")));
}

void StationView::setEditable(bool editable) {
    grid_->setEditTriggers(editable ? kEditTriggers : QAbstractItemView::NoEditTriggers);
    for (QWidget* w :
         std::initializer_list<QWidget*>{open_, add_, remove_, out_, report_, start_}) {
        w->setEnabled(editable);
    }
    stop_->setEnabled(!editable);
}

void StationView::ended() {
    setEditable(true);
    if (const run::StationResult* r = run_->result()) {
        for (std::size_t i = 0; i < r->slotRuns.size(); ++i) {
            showSlot(static_cast<int>(i), slotStateOf(r->slotRuns[i]));
        }
        const QString summary = qs(run::stationSummary(*r));
        summary_->setPlainText(summary);
        emit message(summary.section('\n', 0, 0));
    } else {
        fail(run_->failure());
    }
    emit shown();
}

void StationView::fail(const QString& why) {
    error_->setText(why);
    emit message(why);
}

} // namespace qd::bench

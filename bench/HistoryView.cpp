#include "bench/HistoryView.h"

#include "bench/CommandLine.h"
#include "bench/PlotView.h"
#include "bench/Widgets.h"
#include "control/DataWord.h"
#include "control/Tables.h"
#include "results/Database.h"
#include "run/History.h"
#include "run/Recording.h"
#include "run/Times.h"
#include "session/ExitStatus.h"

#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <set>
#include <utility>

namespace qd::bench {

namespace {

// A choice of qdctl's words, the first, empty, meaning any.
QComboBox* choice(const char* name, const QStringList& words) {
    auto* box = new QComboBox;
    box->setObjectName(name);
    box->addItem(QString());
    box->addItems(words);
    return box;
}

std::string number(const char* format, double value) {
    char out[64];
    std::snprintf(out, sizeof out, format, value);
    return out;
}

void fillRow(QTableWidget* table, int row, const std::vector<std::string>& cells) {
    for (int column = 0; column < static_cast<int>(cells.size()); ++column) {
        table->setItem(row, column,
                       new QTableWidgetItem(qs(cells[static_cast<std::size_t>(column)])));
    }
}

std::vector<std::string> figureCells(const results::Figure& f) {
    const bool word = !f.text.empty();
    return {f.name,
            word ? f.text : (f.value ? number("%.6g", *f.value) : ""),
            !word && f.uncertainty ? number("± %.2g", *f.uncertainty) : "",
            word ? "" : f.unit,
            f.code ? "at code " + control::formatCode(*f.code) : "",
            f.limit};
}

// The two runs' first plots (a characterization's INL) on one scale, the
// second run's drawn over the first.
report::PlotData overlaid(report::PlotData a, const report::PlotData& b, const std::string& nameA,
                          const std::string& nameB) {
    a.name = nameA;
    a.second = b.points;
    a.secondName = nameB;
    a.fromCode = std::min(a.fromCode, b.fromCode);
    a.toCode = std::max(a.toCode, b.toCode);
    a.title += ": " + nameA + " and " + nameB;
    return a;
}

} // namespace

HistoryView::HistoryView(session::CommonOptions common, QWidget* parent)
    : QWidget(parent), common_(std::move(common)) {
    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(makeFilters());
    split->addWidget(makeDetails());
    // The list wide enough for its six columns; the plot takes the rest.
    split->setSizes({500, 600});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split);
}

HistoryView::~HistoryView() {
    stop();
    if (pusher_.joinable()) {
        pusher_.join();
    }
}

QWidget* HistoryView::makeFilters() {
    auto* side = new QWidget;
    auto* layout = new QVBoxLayout(side);
    auto* fields = new QFormLayout;
    QStringList devices;
    for (const auto& d : control::kDevices) {
        devices << QString::fromUtf8(d.caption.data(), static_cast<int>(d.caption.size()));
    }
    device_ = choice("historyDevice", devices);
    serial_ = lineEdit("historySerial", "the unit's serial");
    station_ = lineEdit("historyStation", "a station's id, or its start");
    since_ = lineEdit("historySince", "2026-12-01, today, 7d");
    since_->setToolTip(qs(std::string("Runs started since: ") + run::kSinceForms));
    verdict_ = choice("historyVerdict", {"PASS", "FAIL", "CONDITIONAL", "INTERRUPTED"});
    kind_ =
        choice("historyKind", {"characterize", "sweep", "program", "read", "verify", "selftest"});
    for (const auto& [label, widget] :
         std::initializer_list<std::pair<const char*, QWidget*>>{{"Con&verter", device_},
                                                                 {"Seria&l", serial_},
                                                                 {"St&ation", station_},
                                                                 {"S&ince", since_},
                                                                 {"V&erdict", verdict_},
                                                                 {"&Kind", kind_}}) {
        fields->addRow(label, widget);
    }
    layout->addLayout(fields);
    refresh_ = new QPushButton("&Refresh");
    refresh_->setObjectName("historyRefresh");
    layout->addWidget(refresh_, 0, Qt::AlignRight);
    runs_ = new QTableWidget(0, 6);
    runs_->setObjectName("historyRuns");
    runs_->setHorizontalHeaderLabels({"run", "kind", "started", "converter", "serial", "verdict"});
    runs_->horizontalHeader()->setStretchLastSection(true);
    runs_->verticalHeader()->hide();
    runs_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    runs_->setSelectionBehavior(QAbstractItemView::SelectRows);
    runs_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    layout->addWidget(runs_, 1);
    connect(refresh_, &QPushButton::clicked, this, &HistoryView::refresh);
    connect(runs_, &QTableWidget::cellDoubleClicked, this, &HistoryView::openSelected);
    return side;
}

QWidget* HistoryView::makeDetails() {
    auto* details = new QWidget;
    auto* layout = new QVBoxLayout(details);
    auto* actions = new QHBoxLayout;
    open_ = new QPushButton("&Open");
    compare_ = new QPushButton("Com&pare");
    export_ = new QPushButton("E&xport CSV…");
    report_ = new QPushButton("Re&build report…");
    for (auto [button, name] :
         {std::pair{open_, "historyOpen"}, std::pair{compare_, "historyCompare"},
          std::pair{export_, "historyExport"}, std::pair{report_, "historyReport"}}) {
        button->setObjectName(name);
        actions->addWidget(button);
    }
    actions->addStretch(1);
    layout->addLayout(actions);
    title_ = new QLabel;
    title_->setObjectName("historyTitle");
    title_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    error_ = new QLabel;
    error_->setObjectName("historyError");
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    figures_ = new QTableWidget(0, 6);
    figures_->setObjectName("historyFigures");
    figures_->horizontalHeader()->setStretchLastSection(true);
    figures_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    setup_ = new QPlainTextEdit;
    setup_->setObjectName("historySetup");
    setup_->setReadOnly(true);
    plot_ = new PlotView;
    plot_->setObjectName("historyPlot");
    auto* shown = new QSplitter(Qt::Vertical);
    shown->addWidget(figures_);
    shown->addWidget(setup_);
    shown->addWidget(plot_);
    shown->setStretchFactor(0, 3);
    shown->setStretchFactor(1, 1);
    shown->setStretchFactor(2, 3);
    layout->addWidget(title_);
    layout->addWidget(error_);
    layout->addWidget(shown, 1);
    auto* pushRow = new QHBoxLayout;
    to_ = lineEdit("historyTo", "postgresql://user@host/database");
    push_ = new QPushButton("P&ush");
    push_->setObjectName("historyPush");
    push_->setToolTip("Copies the selected runs, or every run when none is selected, to the "
                      "server; a run still recording is left for a later push.");
    auto* toLabel = new QLabel("Push &to");
    toLabel->setBuddy(to_);
    pushRow->addWidget(toLabel);
    pushRow->addWidget(to_, 1);
    pushRow->addWidget(push_);
    layout->addLayout(pushRow);
    connect(open_, &QPushButton::clicked, this, &HistoryView::openSelected);
    connect(compare_, &QPushButton::clicked, this, &HistoryView::compareSelected);
    connect(export_, &QPushButton::clicked, this, &HistoryView::chooseCsv);
    connect(report_, &QPushButton::clicked, this, &HistoryView::chooseReport);
    connect(push_, &QPushButton::clicked, this, [this] { push(to_->text()); });
    return details;
}

QStringList HistoryView::selectedIds() const {
    std::set<int> rows;
    for (const QModelIndex& index : runs_->selectionModel()->selectedRows()) {
        rows.insert(index.row());
    }
    QStringList ids;
    for (const int row : rows) {
        ids << runs_->item(row, 0)->data(Qt::UserRole).toString();
    }
    return ids;
}

void HistoryView::fail(const std::string& what) {
    error_->setText(qs(what));
    emit message(qs(what));
}

std::vector<std::string> HistoryView::listArguments() const {
    std::vector<std::string> arguments{"list"};
    for (const auto& [option, value] :
         {std::pair{"--device", text(device_)}, std::pair{"--serial", text(serial_)},
          std::pair{"--station", text(station_)}, std::pair{"--since", text(since_)},
          std::pair{"--verdict", text(verdict_)}, std::pair{"--kind", text(kind_)}}) {
        if (!value.empty()) {
            arguments.insert(arguments.end(), {option, value});
        }
    }
    return arguments;
}

void HistoryView::refresh() {
    error_->clear();
    emit command(qs(shellLine(runsArguments(common_, listArguments()))));
    runs_->setRowCount(0);
    try {
        results::Filter filter;
        filter.device = text(device_);
        filter.serial = text(serial_);
        filter.verdict = text(verdict_);
        filter.kind = text(kind_);
        if (const std::string since = text(since_); !since.empty()) {
            const auto utc = run::utcSince(since, QDateTime::currentDateTime());
            if (!utc) {
                throw session::Failure(session::BadArguments, "--since: " + since +
                                                                  " is no time: give " +
                                                                  run::kSinceForms);
            }
            filter.since = *utc;
        }
        const auto runs = run::readingStore([&] {
            const auto store = run::Recording::storeToRead(common_);
            return run::listRuns(*store, filter, text(station_));
        });
        runs_->setRowCount(static_cast<int>(runs.size()));
        for (int row = 0; row < static_cast<int>(runs.size()); ++row) {
            const results::Run& run = runs[static_cast<std::size_t>(row)];
            fillRow(runs_, row, run::listColumns(run));
            runs_->item(row, 0)->setData(Qt::UserRole, qs(run.id()));
            if (!run.damaged.empty()) {
                emit message(qs(run::damageText(run)));
            }
        }
        runs_->resizeColumnsToContents();
    } catch (const session::Failure& f) {
        fail(f.what());
    }
    emit shown();
}

void HistoryView::open(const QString& id) {
    error_->clear();
    emit command(qs(shellLine(runsArguments(common_, {"show", id.toStdString()}))));
    figures_->setRowCount(0);
    setup_->clear();
    plot_->clear();
    try {
        run::readingStore([&] {
            const auto store = run::Recording::storeToRead(common_);
            const results::Run run = store->find(id.toStdString());
            const auto figures = store->figures(run.id());
            title_->setText(
                qs("run " + run.id() + ": " + run.get("kind") + ", " + run::verdictOf(run)));
            setup_->setPlainText(qs(run::showText(run, figures, store->readings(run.id()).size())));
            figures_->setColumnCount(6);
            figures_->setHorizontalHeaderLabels(
                {"figure", "value", "uncertainty", "unit", "where", "limit"});
            figures_->setRowCount(static_cast<int>(figures.size()));
            for (int row = 0; row < static_cast<int>(figures.size()); ++row) {
                fillRow(figures_, row, figureCells(figures[static_cast<std::size_t>(row)]));
            }
            figures_->resizeColumnsToContents();
            // The figures stand without their plot: a run too short to draw,
            // or damaged, still shows what it has.
            const auto picture = run::pictureOfStored(*store, run, common_);
            if (picture && !picture->plots.empty()) {
                plot_->show(picture->plots.front());
            }
        });
    } catch (const session::Failure& f) {
        fail(f.what());
    }
    emit shown();
}

void HistoryView::compare(const QString& a, const QString& b) {
    error_->clear();
    emit command(
        qs(shellLine(runsArguments(common_, {"compare", a.toStdString(), b.toStdString()}))));
    figures_->setRowCount(0);
    setup_->clear();
    plot_->clear();
    try {
        run::readingStore([&] {
            const auto store = run::Recording::storeToRead(common_);
            const run::Comparison c = run::compareRuns(*store, a.toStdString(), b.toStdString());
            const std::string nameA = c.a.id().substr(0, 8), nameB = c.b.id().substr(0, 8);
            title_->setText(
                qs(std::to_string(c.beyond) + " figures differ beyond their combined uncertainty"));
            figures_->setColumnCount(7);
            figures_->setHorizontalHeaderLabels(
                {"figure", qs(nameA), qs(nameB), "difference", "combined uncertainty", "", "unit"});
            figures_->setRowCount(static_cast<int>(c.figures.size()));
            for (int row = 0; row < static_cast<int>(c.figures.size()); ++row) {
                const run::FigureComparison& f = c.figures[static_cast<std::size_t>(row)];
                fillRow(figures_, row,
                        {f.a.name, number("%.6g", *f.a.value), number("%.6g", *f.b.value),
                         number("%+.6g", f.difference),
                         f.uncertainty ? number("± %.2g", *f.uncertainty) : "",
                         f.uncertainty ? (f.exceeds ? "DIFFERS" : "within") : "", f.a.unit});
            }
            figures_->resizeColumnsToContents();
            setup_->setPlainText(qs(run::comparisonText(c)));
            const auto pa = run::pictureOfStored(*store, c.a, common_);
            const auto pb = run::pictureOfStored(*store, c.b, common_);
            if (pa && pb && !pa->plots.empty() && !pb->plots.empty()) {
                plot_->show(
                    overlaid(pa->plots.front(), pb->plots.front(), "run " + nameA, "run " + nameB));
            }
        });
    } catch (const session::Failure& f) {
        fail(f.what());
    }
    emit shown();
}

void HistoryView::openSelected() {
    const QStringList ids = selectedIds();
    if (ids.isEmpty()) {
        fail("select a run to open");
        return;
    }
    open(ids.front());
}

void HistoryView::compareSelected() {
    const QStringList ids = selectedIds();
    if (ids.size() != 2) {
        fail("select two runs of one kind to compare");
        return;
    }
    // The list is newest first: the older is compared with the newer, so
    // that a difference says how the unit changed since.
    compare(ids.at(1), ids.at(0));
}

void HistoryView::chooseCsv() {
    if (selectedIds().isEmpty()) {
        fail("select a run to export");
        return;
    }
    const QString path = QFileDialog::getSaveFileName(this, "Export CSV", QString(), "CSV (*.csv)");
    if (!path.isEmpty()) {
        exportCsv(path);
    }
}

void HistoryView::chooseReport() {
    const QStringList ids = selectedIds();
    if (ids.isEmpty()) {
        fail("select a run to report");
        return;
    }
    // The run reported is the first selected in the list's order, as
    // saveReport takes it.
    int first = runs_->rowCount();
    for (const QModelIndex& index : runs_->selectionModel()->selectedRows()) {
        first = std::min(first, index.row());
    }
    const bool sweep = runs_->item(first, 1)->text() == "sweep";
    const QString path =
        QFileDialog::getSaveFileName(this, "Rebuild report", QString(),
                                     sweep ? "Plot (*.png *.svg *.pdf)" : "Report (*.pdf *.html)");
    if (!path.isEmpty()) {
        saveReport(path);
    }
}

void HistoryView::exportCsv(const QString& path) {
    const QStringList ids = selectedIds();
    if (ids.isEmpty()) {
        fail("select a run to export");
        return;
    }
    error_->clear();
    const std::string absolute = QFileInfo(path).absoluteFilePath().toStdString();
    emit command(qs(shellLine(
        runsArguments(common_, {"export", ids.front().toStdString(), "--csv", absolute}))));
    try {
        run::readingStore([&] {
            run::exportCsv(*run::Recording::storeToRead(common_), ids.front().toStdString(),
                           absolute, common_);
        });
        emit message("CSV written: " + qs(absolute));
    } catch (const session::Failure& f) {
        fail(f.what());
    }
}

void HistoryView::saveReport(const QString& path) {
    const QStringList ids = selectedIds();
    if (ids.isEmpty()) {
        fail("select a run to report");
        return;
    }
    error_->clear();
    const std::string absolute = QFileInfo(path).absoluteFilePath().toStdString();
    emit command(qs(shellLine(
        runsArguments(common_, {"report", ids.front().toStdString(), "--report", absolute}))));
    try {
        run::readingStore([&] {
            const auto store = run::Recording::storeToRead(common_);
            run::reportStored(*store, store->find(ids.front().toStdString()), absolute, common_);
        });
        emit message("report written: " + qs(absolute));
    } catch (const session::Failure& f) {
        fail(f.what());
    }
}

void HistoryView::push(const QString& to) {
    if (pushing_) {
        return;
    }
    error_->clear();
    const std::string url = to.trimmed().toStdString();
    if (url.empty()) {
        fail("--to is required");
        return;
    }
    std::vector<std::string> ids;
    for (const QString& id : selectedIds()) {
        ids.push_back(id.toStdString());
    }
    std::vector<std::string> arguments{"push", "--to", results::withoutPassword(url)};
    arguments.insert(arguments.end(), ids.begin(), ids.end());
    emit command(qs(shellLine(runsArguments(common_, arguments))));
    if (pusher_.joinable()) {
        pusher_.join();
    }
    pushing_ = true;
    push_->setEnabled(false);
    stopPush_ = std::make_shared<std::atomic<bool>>(false);
    // A server may keep a push waiting for as long as its limits allow:
    // the window goes on meanwhile. The thread's only touch of the view is
    // the queued call at its end, which the view's end waits for.
    pusher_ = std::thread([this, common = common_, url, ids, stop = stopPush_] {
        QString said;
        bool failed = false;
        try {
            said = qs(run::readingStore([&] {
                const auto from = run::Recording::storeToRead(common);
                const auto target = run::pushTarget(url, [stop] { return stop->load(); });
                return run::pushedText(run::pushRuns(*from, *target, ids));
            }));
        } catch (const std::exception& e) {
            said = e.what();
            failed = true;
        }
        QMetaObject::invokeMethod(
            this, [this, said, failed] { pushEnded(said, failed); }, Qt::QueuedConnection);
    });
}

void HistoryView::pushEnded(const QString& said, bool failed) {
    if (pusher_.joinable()) {
        pusher_.join();
    }
    pushing_ = false;
    push_->setEnabled(true);
    if (failed) {
        fail(said.toStdString());
    } else {
        for (const QString& line : said.trimmed().split('\n')) {
            emit message(line);
        }
    }
    emit pushed();
}

void HistoryView::stop() {
    if (stopPush_) {
        stopPush_->store(true);
    }
}

} // namespace qd::bench

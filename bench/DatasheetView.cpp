#include "bench/DatasheetView.h"

#include "bench/CommandLine.h"
#include "bench/PlotView.h"
#include "bench/Widgets.h"
#include "control/Tables.h"
#include "run/Recording.h"
#include "run/Times.h"
#include "session/ExitStatus.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTableWidget>
#include <QThread>
#include <QVBoxLayout>
#include <exception>
#include <set>
#include <utility>

namespace qd::bench {

namespace {

// The choices of the lot's pages, in the order of lotBy_.
enum LotBy { ByStation, ByConverter, ByRuns };

const QString kLatestStation = "the latest station";
const QString kAnyConverter = "any";

} // namespace

DatasheetView::DatasheetView(session::CommonOptions common, QWidget* parent)
    : QWidget(parent), common_(std::move(common)) {
    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(makeChoice());
    split->addWidget(makeOutcome());
    split->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split);
}

DatasheetView::~DatasheetView() {
    if (job_) {
        job_->wait();
        delete job_;
    }
}

QWidget* DatasheetView::makeChoice() {
    auto* choice = new QWidget;
    auto* fields = new QFormLayout(choice);
    lotBy_ = new QComboBox;
    lotBy_->setObjectName("lotBy");
    lotBy_->addItems({"a station", "a converter since a date", "runs chosen"});
    station_ = new QComboBox;
    station_->setObjectName("station");
    station_->setEditable(true);
    station_->setToolTip("a station's id, or the start of one");
    device_ = new QComboBox;
    device_->setObjectName("datasheetDevice");
    device_->addItem(kAnyConverter);
    for (const auto& d : control::kDevices) {
        device_->addItem(QString::fromUtf8(d.caption.data(), static_cast<int>(d.caption.size())));
    }
    sinceGiven_ = new QCheckBox("Si&nce");
    sinceGiven_->setObjectName("sinceGiven");
    since_ = new QDateEdit(QDate::currentDate().addDays(-7));
    since_->setObjectName("since");
    since_->setCalendarPopup(true);
    since_->setDisplayFormat("yyyy-MM-dd");
    since_->setEnabled(false);
    connect(sinceGiven_, &QCheckBox::toggled, since_, &QWidget::setEnabled);
    runs_ = new QListWidget;
    runs_->setObjectName("runs");
    auto* byStation = new QWidget;
    auto* stationForm = new QFormLayout(byStation);
    stationForm->addRow("S&tation", station_);
    auto* byConverter = new QWidget;
    auto* converterForm = new QFormLayout(byConverter);
    converterForm->addRow("C&onverter", device_);
    converterForm->addRow(sinceGiven_, since_);
    pages_ = new QStackedWidget;
    for (QWidget* page : {byStation, byConverter, static_cast<QWidget*>(runs_)}) {
        pages_->addWidget(page);
    }
    connect(lotBy_, &QComboBox::currentIndexChanged, pages_, &QStackedWidget::setCurrentIndex);
    verdict_ = new QComboBox;
    verdict_->setObjectName("datasheetVerdict");
    verdict_->addItems({"any", "PASS", "FAIL", "CONDITIONAL"});
    fields->addRow("&Lot of", lotBy_);
    fields->addRow(pages_);
    fields->addRow("&Verdict", verdict_);
    refresh_ = button("R&efresh", "refresh");
    show_ = button("S&how", "show");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(refresh_);
    buttons->addWidget(show_);
    fields->addRow(buttons);
    connect(refresh_, &QPushButton::clicked, this, &DatasheetView::refresh);
    connect(show_, &QPushButton::clicked, this, &DatasheetView::showLot);
    return choice;
}

QWidget* DatasheetView::makeOutcome() {
    auto* outcome = new QWidget;
    auto* layout = new QVBoxLayout(outcome);
    heading_ = new QLabel;
    heading_->setObjectName("heading");
    heading_->setWordWrap(true);
    heading_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    error_ = new QLabel;
    error_->setObjectName("datasheetError");
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    table_ = new QTableWidget;
    table_->setObjectName("table");
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setStretchLastSection(true);
    plots_ = new QListWidget;
    plots_->setObjectName("plots");
    page_ = new PlotView;
    page_->setObjectName("page");
    connect(plots_, &QListWidget::currentRowChanged, this, &DatasheetView::showPage);
    auto* pictures = new QSplitter(Qt::Horizontal);
    pictures->addWidget(plots_);
    pictures->addWidget(page_);
    pictures->setStretchFactor(1, 1);
    pdf_ = button("Export &PDF…", "exportPdf");
    html_ = button("Export HT&ML…", "exportHtml");
    csv_ = button("Export C&SV…", "exportCsv");
    auto* exports = new QHBoxLayout;
    exports->addStretch(1);
    for (QPushButton* b : {pdf_, html_, csv_}) {
        b->setEnabled(false);
        exports->addWidget(b);
    }
    connect(pdf_, &QPushButton::clicked, this, [this] { chooseExport("pdf"); });
    connect(html_, &QPushButton::clicked, this, [this] { chooseExport("html"); });
    connect(csv_, &QPushButton::clicked, this, [this] { chooseExport("csv"); });
    layout->addWidget(heading_);
    layout->addWidget(error_);
    layout->addWidget(table_, 1);
    layout->addWidget(pictures, 1);
    layout->addLayout(exports);
    return outcome;
}

run::DatasheetRequest DatasheetView::request() const {
    run::DatasheetRequest r;
    run::LotChoice& lot = r.lot;
    switch (lotBy_->currentIndex()) {
    case ByStation: {
        lot.station = true;
        const QString text = station_->currentText().trimmed();
        // A listed station reads "ID  when, units": its id is the first word.
        if (text != kLatestStation) {
            lot.stationRun = text.section(' ', 0, 0, QString::SectionSkipEmpty).toStdString();
        }
        break;
    }
    case ByConverter:
        if (device_->currentText() != kAnyConverter) {
            lot.device = device_->currentText().toStdString();
        }
        if (sinceGiven_->isChecked()) {
            lot.since = since_->date().toString("yyyy-MM-dd").toStdString();
        }
        break;
    default:
        for (int i = 0; i < runs_->count(); ++i) {
            if (runs_->item(i)->checkState() == Qt::Checked) {
                lot.runs.push_back(runs_->item(i)->data(Qt::UserRole).toString().toStdString());
            }
        }
    }
    if (verdict_->currentIndex() > 0) {
        lot.verdict = verdict_->currentText().toStdString();
    }
    return r;
}

run::DatasheetRequest DatasheetView::engineRequest(run::DatasheetRequest request) const {
    if (!request.lot.since.empty()) {
        // As qdctl reads its --since: a date in this computer's zone.
        request.lot.since =
            run::utcSince(request.lot.since, QDateTime::currentDateTime()).value_or("");
    }
    return request;
}

void DatasheetView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!listed_) {
        listed_ = true;
        refresh();
    }
}

void DatasheetView::refresh() {
    // A listing, bounded by the store's characterizations: read on the
    // window's thread, under the busy cursor.
    QApplication::setOverrideCursor(Qt::BusyCursor);
    std::vector<results::Run> found;
    try {
        results::Filter filter;
        filter.kind = "characterize";
        found = run::Recording::storeToRead(common_)->runs(filter);
        error_->clear();
    } catch (const session::Failure& f) {
        fail(qs(f.what()));
    }
    QApplication::restoreOverrideCursor();
    const QString typed = station_->currentText();
    station_->clear();
    station_->addItem(kLatestStation);
    runs_->clear();
    // Newest first, as the store gives them.
    std::set<std::string> stations;
    for (const results::Run& r : found) {
        const std::string station = r.get("station");
        if (!station.empty() && stations.insert(station).second) {
            station_->addItem(
                qs(station + "  " + r.get("started").substr(0, 16) + ", " + r.get("device")));
        }
        auto* item = new QListWidgetItem(
            qs(r.id().substr(0, 8) + "  " + r.get("started").substr(0, 16) + "  " +
               r.get("device") + "  " + run::unitOf(r) + "  " + r.get("verdict")));
        item->setData(Qt::UserRole, qs(r.id()));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        runs_->addItem(item);
    }
    station_->setCurrentText(typed.isEmpty() ? kLatestStation : typed);
}

void DatasheetView::showLot() {
    if (busy()) {
        return;
    }
    const run::DatasheetRequest asked = request();
    emit command(qs(shellLine(datasheetArguments(asked, common_))));
    const run::DatasheetRequest engine = engineRequest(asked);
    auto sheet = std::make_shared<std::unique_ptr<run::Datasheet>>();
    auto drawn = std::make_shared<report::ReportData>();
    runJob(
        [this, engine, sheet, drawn] {
            run::checkRequest(engine);
            // Read with its curves: the pages are shown as well as the table.
            *sheet =
                std::make_unique<run::Datasheet>(run::readDatasheet(common_, engine.lot, true));
            *drawn = run::datasheetReport(**sheet);
            notice_ = qs(run::fewUnitsNotice(**sheet));
        },
        [this, asked, sheet, drawn] {
            if (*sheet) {
                sheet_ = std::move(*sheet);
                drawn_ = std::move(*drawn);
                shown_ = asked;
            } else {
                // A lot refused shows no other lot's table beside its words.
                sheet_.reset();
                drawn_ = {};
            }
            showSheet();
            emit shown();
        });
}

void DatasheetView::chooseExport(const QString& format) {
    const QString filter = format == "csv"   ? "CSV (*.csv)"
                           : format == "pdf" ? "PDF (*.pdf)"
                                             : "HTML (*.html)";
    QString path = QFileDialog::getSaveFileName(this, "Export the datasheet", QString(), filter);
    if (path.isEmpty()) {
        return;
    }
    // qdctl takes a report by its extension, in lower case.
    if (!path.endsWith("." + format)) {
        path += "." + format;
    }
    if (format == "csv") {
        exportCsv(path);
    } else {
        exportReport(path);
    }
}

void DatasheetView::exportCsv(const QString& path) {
    run::DatasheetRequest r = shown_;
    // The log's command runs from wherever the user pastes it.
    r.csv = QFileInfo(path).absoluteFilePath().toStdString();
    exportTo(std::move(r));
}

void DatasheetView::exportReport(const QString& path) {
    run::DatasheetRequest r = shown_;
    r.report = QFileInfo(path).absoluteFilePath().toStdString();
    exportTo(std::move(r));
}

void DatasheetView::exportTo(run::DatasheetRequest request) {
    if (busy() || !sheet_) {
        return;
    }
    emit command(qs(shellLine(datasheetArguments(request, common_))));
    const run::DatasheetRequest engine = engineRequest(request);
    const QString written = qs(engine.csv.empty() ? engine.report : engine.csv);
    // The lot read again as the logged line reads it: the file is the one
    // that line writes, whatever the store took since it was shown.
    runJob(
        [this, engine] {
            run::checkRequest(engine);
            run::checkOutputs(common_, engine);
            const run::Datasheet d =
                run::readDatasheet(common_, engine.lot, !engine.report.empty());
            notice_ = qs(run::fewUnitsNotice(d));
            run::writeDatasheetFiles(d, engine);
        },
        [this, written] {
            if (failure_.isEmpty()) {
                emit message("written: " + written);
            }
            emit exported();
        });
}

void DatasheetView::runJob(std::function<void()> work, std::function<void()> done) {
    failure_.clear();
    notice_.clear();
    error_->clear();
    job_ = QThread::create([this, job = std::move(work)] {
        try {
            job();
        } catch (const session::Failure& f) {
            failure_ = qs(f.what());
        } catch (const std::exception& e) {
            // Anything else would end the program from the job's thread.
            failure_ = qs(e.what());
        }
    });
    connect(job_, &QThread::finished, this, [this, then = std::move(done)] {
        job_->deleteLater();
        job_ = nullptr;
        setBusy(false);
        if (!notice_.isEmpty()) {
            emit message(notice_);
        }
        if (!failure_.isEmpty()) {
            fail(failure_);
        }
        then();
    });
    setBusy(true);
    job_->start();
}

void DatasheetView::setBusy(bool on) {
    if (on) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
    for (QPushButton* b : {refresh_, show_}) {
        b->setEnabled(!on);
    }
    for (QPushButton* b : {pdf_, html_, csv_}) {
        b->setEnabled(!on && sheet_);
    }
}

void DatasheetView::fail(const QString& failure) {
    error_->setText(failure);
    emit message(failure);
}

void DatasheetView::showSheet() {
    table_->clear();
    table_->setRowCount(0);
    plots_->clear();
    page_->clear();
    heading_->clear();
    for (QPushButton* b : {pdf_, html_, csv_}) {
        b->setEnabled(sheet_ != nullptr);
    }
    if (!sheet_) {
        return;
    }
    const run::Datasheet& d = *sheet_;
    QStringList heading;
    for (const std::string& line : run::datasheetHeadings(d)) {
        heading << qs(line);
    }
    if (!notice_.isEmpty()) {
        heading << notice_;
    }
    heading_->setText(heading.join('\n'));
    const auto cells = run::datasheetCells(d);
    table_->setColumnCount(static_cast<int>(cells.front().size()));
    table_->setRowCount(static_cast<int>(cells.size()) - 1);
    QStringList labels;
    for (const std::string& label : cells.front()) {
        labels << qs(label);
    }
    table_->setHorizontalHeaderLabels(labels);
    for (std::size_t row = 1; row < cells.size(); ++row) {
        for (std::size_t column = 0; column < cells[row].size(); ++column) {
            table_->setItem(static_cast<int>(row - 1), static_cast<int>(column),
                            new QTableWidgetItem(qs(cells[row][column])));
        }
    }
    table_->resizeColumnsToContents();
    for (const report::PlotData& plot : drawn_.plots) {
        plots_->addItem(qs(plot.title));
    }
    if (!drawn_.plots.empty()) {
        plots_->setCurrentRow(0);
    }
}

void DatasheetView::showPage(int index) {
    if (index >= 0 && index < static_cast<int>(drawn_.plots.size())) {
        page_->show(drawn_.plots[static_cast<std::size_t>(index)]);
    }
}

} // namespace qd::bench

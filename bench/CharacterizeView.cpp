#include "bench/CharacterizeView.h"

#include "bench/CharacterizeRun.h"
#include "bench/CommandLine.h"
#include "bench/PlotView.h"
#include "bench/Widgets.h"
#include "control/Tables.h"
#include "run/CharacterizeReport.h"
#include "run/Renderer.h"
#include "session/ExitStatus.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QSplitter>
#include <QTableWidget>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <utility>

namespace qd::bench {

namespace {

QString minutesAndSeconds(qint64 ms) {
    const qint64 s = (ms + 999) / 1000;
    return QStringLiteral("%1:%2").arg(s / 60).arg(s % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

CharacterizeView::CharacterizeView(session::CommonOptions common, QWidget* parent)
    : QWidget(parent), common_(std::move(common)) {
    auto* split = new QSplitter(Qt::Horizontal);
    split->addWidget(makeSetupForm());
    split->addWidget(makeOutcome());
    split->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(split);
    recall();
}

CharacterizeView::~CharacterizeView() {
    if (asking_) {
        asking_->wait();
    }
}

QWidget* CharacterizeView::makeSetupForm() {
    auto* form = new QWidget;
    auto* fields = new QFormLayout(form);
    device_ = new QComboBox;
    device_->setObjectName("device");
    for (const auto& d : control::kDevices) {
        device_->addItem(QString::fromUtf8(d.caption.data(), static_cast<int>(d.caption.size())));
    }
    device_->setCurrentText("QD1600");
    codes_ = new QComboBox;
    codes_->setObjectName("codes");
    codes_->setEditable(true);
    codes_->addItems({"fast", "all", "100", "10"});
    codes_->setToolTip("all, fast, or EVERY in hexadecimal: every EVERY-th code");
    samples_ = new QSpinBox;
    samples_->setObjectName("samples");
    samples_->setRange(1, 100);
    samples_->setValue(run::CharacterizeSetup().samples);
    settle_ = new QDoubleSpinBox;
    settle_->setObjectName("settle");
    settle_->setRange(0, 60000);
    settle_->setSuffix(" ms");
    settle_->setValue(run::CharacterizeSetup().settleMs);
    meter_ = lineEdit("meter", "empty: the on-board converter");
    limits_ = lineEdit("limits", "e.g. inl=2,dnl=1, or @FILE");
    csv_ = lineEdit("csv", "optional: the readings as measured");
    serial_ = lineEdit("serial", "");
    operator_ = lineEdit("operator", "");
    temperature_ = lineEdit("temperature", "e.g. 23 °C");
    note_ = lineEdit("note", "");
    testMeter_ = new QPushButton("T&est");
    testMeter_->setObjectName("testMeter");
    testMeter_->setToolTip("Ask the meter who it is (*IDN?) and when it was calibrated");
    connect(testMeter_, &QPushButton::clicked, this, &CharacterizeView::testMeter);
    auto* meterRow = new QWidget;
    auto* meterLayout = new QHBoxLayout(meterRow);
    meterLayout->setContentsMargins(0, 0, 0, 0);
    meterLayout->addWidget(meter_, 1);
    meterLayout->addWidget(testMeter_);
    meterIdentity_ = new QLabel;
    meterIdentity_->setObjectName("meterIdentity");
    meterIdentity_->setWordWrap(true);
    meterIdentity_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    for (const auto& [label, widget] :
         std::initializer_list<std::pair<const char*, QWidget*>>{{"&Device", device_},
                                                                 {"&Codes", codes_},
                                                                 {"S&amples", samples_},
                                                                 {"Se&ttle", settle_},
                                                                 {"&Meter", meterRow},
                                                                 {"", meterIdentity_},
                                                                 {"&Limits", limits_},
                                                                 {"CS&V", csv_},
                                                                 {"Serial", serial_},
                                                                 {"O&perator", operator_},
                                                                 {"Temperature", temperature_},
                                                                 {"&Note", note_}}) {
        fields->addRow(label, widget);
    }
    start_ = new QPushButton("&Start");
    start_->setObjectName("start");
    stop_ = new QPushButton("St&op");
    stop_->setObjectName("stop");
    stop_->setEnabled(false);
    resume_ = new QPushButton("Res&ume…");
    resume_->setObjectName("resume");
    resume_->setToolTip("Finish an interrupted run from its CSV, with the setup it was measured "
                        "with");
    connect(resume_, &QPushButton::clicked, this, &CharacterizeView::chooseResume);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(start_);
    buttons->addWidget(stop_);
    buttons->addWidget(resume_);
    fields->addRow(buttons);
    connect(start_, &QPushButton::clicked, this, &CharacterizeView::start);
    connect(stop_, &QPushButton::clicked, this, &CharacterizeView::stop);
    return form;
}

void CharacterizeView::testMeter() {
    const std::string resource = text(meter_);
    if (resource.empty()) {
        meterIdentity_->setText("The board's 12-bit measuring converter: no meter to ask.");
        return;
    }
    testMeter_->setEnabled(false);
    meterIdentity_->setText("Asking " + qs(resource) + "…");
    // A meter that does not answer takes its whole timeout: not on the
    // window's thread.
    QThread* asking = QThread::create([this, resource] {
        QString said;
        try {
            const run::MeterIdentity m =
                run::identifyMeter(resource, run::CharacterizeSetup().meterTimeout);
            said = qs(m.identity) + "\nfamily " + qs(m.family) + ", calibrated " +
                   (m.calibration.empty() ? QString("(not told)") : qs(m.calibration));
        } catch (const session::Failure& f) {
            said = qs(f.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, said] {
                meterIdentity_->setText(said);
                testMeter_->setEnabled(true);
                emit message(said.section('\n', 0, 0));
            },
            Qt::QueuedConnection);
    });
    asking->setParent(this);
    asking_ = asking;
    connect(asking, &QThread::finished, asking, &QObject::deleteLater);
    asking->start();
}

void CharacterizeView::remember() const {
    QSettings settings;
    settings.beginGroup("characterize");
    settings.setValue("device", device_->currentText());
    settings.setValue("codes", codes_->currentText());
    settings.setValue("samples", samples_->value());
    settings.setValue("settle", settle_->value());
    for (const QLineEdit* field : {meter_, limits_, operator_, temperature_}) {
        settings.setValue(field->objectName(), field->text());
    }
}

void CharacterizeView::recall() {
    QSettings settings;
    settings.beginGroup("characterize");
    if (!settings.contains("device")) {
        return;
    }
    device_->setCurrentText(settings.value("device").toString());
    codes_->setCurrentText(settings.value("codes").toString());
    samples_->setValue(settings.value("samples").toInt());
    settle_->setValue(settings.value("settle").toDouble());
    for (QLineEdit* field : {meter_, limits_, operator_, temperature_}) {
        field->setText(settings.value(field->objectName()).toString());
    }
}

QWidget* CharacterizeView::makeOutcome() {
    auto* outcome = new QWidget;
    auto* layout = new QVBoxLayout(outcome);
    progress_ = new QProgressBar;
    progress_->setObjectName("progress");
    timeLeft_ = new QLabel;
    timeLeft_->setObjectName("timeLeft");
    auto* progressRow = new QHBoxLayout;
    progressRow->addWidget(progress_, 1);
    progressRow->addWidget(timeLeft_);
    layout->addLayout(progressRow);
    verdict_ = new QLabel;
    verdict_->setObjectName("verdict");
    verdict_->setAlignment(Qt::AlignCenter);
    QFont big = verdict_->font();
    big.setPointSizeF(big.pointSizeF() * 1.6);
    big.setBold(true);
    verdict_->setFont(big);
    error_ = new QLabel;
    error_->setObjectName("error");
    error_->setWordWrap(true);
    error_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    figures_ = new QTableWidget(0, 6);
    figures_->setObjectName("figures");
    figures_->setHorizontalHeaderLabels(
        {"figure", "value", "uncertainty", "unit", "where", "limit"});
    figures_->horizontalHeader()->setStretchLastSection(true);
    figures_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    output_ = new PlotView;
    output_->setObjectName("outputPlot");
    inl_ = new PlotView;
    inl_->setObjectName("inlPlot");
    // A few redraws a second, however fast the codes come.
    live_ = new QTimer(this);
    live_->setInterval(200);
    connect(live_, &QTimer::timeout, this, &CharacterizeView::drawLive);
    csvShown_ = new QLabel;
    csvShown_->setObjectName("csvPath");
    csvShown_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    save_ = new QPushButton("Save &report…");
    save_->setObjectName("saveReport");
    save_->setEnabled(false);
    connect(save_, &QPushButton::clicked, this, &CharacterizeView::chooseReport);
    for (QWidget* w : {static_cast<QWidget*>(verdict_), static_cast<QWidget*>(error_)}) {
        layout->addWidget(w);
    }
    layout->addWidget(figures_, 1);
    auto* plots = new QHBoxLayout;
    plots->addWidget(output_, 1);
    plots->addWidget(inl_, 1);
    layout->addLayout(plots, 1);
    layout->addWidget(csvShown_);
    layout->addWidget(save_, 0, Qt::AlignRight);
    return outcome;
}

run::CharacterizeSetup CharacterizeView::setup() const {
    run::CharacterizeSetup s;
    s.device.device = device_->currentText().toStdString();
    s.codes = codes_->currentText().trimmed().toStdString();
    s.samples = samples_->value();
    s.settleMs = settle_->value();
    s.meter = text(meter_);
    s.limits = text(limits_);
    if (!resumeFrom_.isEmpty()) {
        // A resumed run finishes its own file.
        s.resume = QFileInfo(resumeFrom_).absoluteFilePath().toStdString();
    } else if (!csv_->text().trimmed().isEmpty()) {
        // The log's command runs from wherever the user pastes it.
        s.csv = QFileInfo(csv_->text().trimmed()).absoluteFilePath().toStdString();
    }
    s.serial = text(serial_);
    s.operatorName = text(operator_);
    s.temperature = text(temperature_);
    s.note = text(note_);
    return s;
}

bool CharacterizeView::running() const {
    return run_ && run_->running();
}

void CharacterizeView::chooseResume() {
    const QString path = QFileDialog::getOpenFileName(this, "Resume an interrupted run",
                                                      interrupted_, "Readings (*.csv)");
    if (!path.isEmpty()) {
        resume(path);
    }
}

void CharacterizeView::resume(const QString& csv) {
    resumeFrom_ = csv;
    start();
    resumeFrom_.clear();
}

void CharacterizeView::start() {
    if (running()) {
        return;
    }
    const run::CharacterizeSetup s = setup();
    error_->clear();
    try {
        run::checkSetup(s);
    } catch (const session::Failure& f) {
        error_->setText(qs(f.what()));
        emit message(qs(f.what()));
        return;
    }
    const std::vector<std::string> arguments = characterizeArguments(s, common_);
    session::CommonOptions common = common_;
    common.commandLine = shellLine(arguments);
    common.arguments.assign(arguments.begin() + 1, arguments.end());
    emit command(qs(common.commandLine));
    remember();
    verdict_->clear();
    verdict_->setStyleSheet({});
    figures_->setRowCount(0);
    output_->clear();
    inl_->clear();
    livePlot_.clear();
    csvShown_->clear();
    save_->setEnabled(false);
    progress_->setValue(0);
    timeLeft_->clear();
    run_ = std::make_unique<CharacterizeRun>(s, std::move(common));
    connect(run_.get(), &CharacterizeRun::started, this, [this](qulonglong total) {
        progress_->setRange(0, static_cast<int>(total));
        clock_.start();
    });
    connect(run_.get(), &CharacterizeRun::progressed, this, &CharacterizeView::progressed);
    connect(run_.get(), &CharacterizeRun::notice, this, &CharacterizeView::message);
    connect(run_.get(), &CharacterizeRun::ended, this, &CharacterizeView::ended);
    start_->setEnabled(false);
    resume_->setEnabled(false);
    stop_->setEnabled(true);
    run_->start();
    live_->start();
}

void CharacterizeView::stop() {
    if (running()) {
        run_->stop();
    }
}

void CharacterizeView::progressed(qulonglong done, qulonglong total) {
    progress_->setValue(static_cast<int>(done));
    if (done == 0 || !clock_.isValid()) {
        return;
    }
    const double each = static_cast<double>(clock_.elapsed()) / static_cast<double>(done);
    timeLeft_->setText(
        minutesAndSeconds(static_cast<qint64>(each * static_cast<double>(total - done))) + " left");
}

void CharacterizeView::drawLive() {
    if (!run_) {
        return;
    }
    const report::Points readings = run_->takeReadings();
    if (readings.empty()) {
        return;
    }
    livePlot_.add(readings);
    output_->show(livePlot_.output());
    inl_->show(livePlot_.inl());
}

void CharacterizeView::ended() {
    live_->stop();
    drawLive();
    start_->setEnabled(true);
    resume_->setEnabled(true);
    stop_->setEnabled(false);
    timeLeft_->clear();
    if (const run::CharacterizeResult* r = run_->result()) {
        result_ = std::make_unique<run::CharacterizeResult>(*r);
        if (!r->boardSerial.empty() || !r->board.empty()) {
            boardHeld_ = r->boardSerial.empty() ? r->board : r->boardSerial;
        }
        runId_ = run_->runId();
        if (r->interrupted() && !r->csv.empty()) {
            interrupted_ = qs(r->csv);
            emit message("to finish this run: Resume… " + interrupted_);
        }
        showResult(*result_);
        if (!r->endMessage.empty()) {
            error_->setText(qs(r->endMessage));
            emit message(qs(r->endMessage));
        }
    } else {
        error_->setText(run_->failure());
        emit message(run_->failure());
    }
    emit shown();
}

void CharacterizeView::showResult(const run::CharacterizeResult& r) {
    const std::string verdict = run::verdictName(r);
    QString banner = qs(verdict);
    if (r.interrupted()) {
        banner += QStringLiteral(" — stopped after %1 of %2 codes").arg(r.measured).arg(r.planned);
    }
    verdict_->setText(banner);
    verdict_->setStyleSheet(verdict == "PASS" ? "color: white; background: #2e7d32;"
                                              : "color: white; background: #c62828;");
    const auto rows = run::figureRows(r);
    figures_->setRowCount(static_cast<int>(rows.size()));
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        const auto& row = rows[static_cast<std::size_t>(i)];
        int column = 0;
        for (const std::string* cell :
             {&row.name, &row.value, &row.uncertainty, &row.unit, &row.where, &row.limit}) {
            figures_->setItem(i, column++, new QTableWidgetItem(qs(*cell)));
        }
    }
    figures_->resizeColumnsToContents();
    const report::ReportData drawn = run::reportDataOf(r);
    if (!drawn.plots.empty()) {
        inl_->show(drawn.plots.front());
    }
    csvShown_->setText(r.csv.empty() ? QString() : "CSV: " + qs(r.csv));
    save_->setEnabled(true);
}

void CharacterizeView::chooseReport() {
    const QString path =
        QFileDialog::getSaveFileName(this, "Save report", QString(), "Report (*.pdf *.html)");
    if (!path.isEmpty()) {
        saveReport(path);
    }
}

void CharacterizeView::saveReport(const QString& path) {
    if (!result_) {
        return;
    }
    const QString format = QFileInfo(path).suffix().toLower() == "pdf" ? "pdf" : "html";
    const std::string absolute = QFileInfo(path).absoluteFilePath().toStdString();
    if (!runId_.isEmpty()) {
        std::vector<std::string> line{"qdctl"};
        if (!common_.results.empty()) {
            line.insert(line.end(), {"--results", common_.results});
        }
        line.insert(line.end(), {"runs", "report", runId_.toStdString(), "--report", absolute});
        emit command(qs(shellLine(line)));
    }
    try {
        run::Renderer().write(run::reportDataOf(*result_), absolute, format.toStdString(), false);
        emit message("report written: " + qs(absolute));
    } catch (const session::Failure& f) {
        error_->setText(qs(f.what()));
        emit message(qs(f.what()));
    }
}

} // namespace qd::bench

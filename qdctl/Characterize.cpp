// qdctl characterize: each planned code programmed, settled and measured,
// its readings written as they come, and the converter's figures computed
// from them at the end.

#include "control/DataWord.h"
#include "measure/Plan.h"
#include "measure/Preflight.h"
#include "meter/Meter.h"
#include "qdctl/BoardCommands.h"
#include "qdctl/CharacterizeCsv.h"
#include "qdctl/CharacterizeReport.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/Progress.h"
#include "qdctl/Recording.h"
#include "qdctl/Renderer.h"
#include "qdctl/ResultsFile.h"
#include "qdctl/Station.h"
#include "qdctl/StopSignals.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QDateTime>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <vector>

namespace qd::qdctl {

using session::BadArguments;
using session::boardIdentifier;
using session::CheckFailed;
using session::CommonOptions;
using session::DeviceChoice;
using session::Failure;
using session::firmwarePathOf;
using session::MeterFailed;
using session::Session;

using control::DeviceProfile;
using control::formatCode;
using control::formatNumber;

namespace {

struct CharacterizeOptions {
    DeviceChoice device;
    std::string meter; // a VISA resource or a USBTMC device file; empty: the on-board converter
    double meterTimeout = 5; // seconds
    std::string codes = "fast";
    double nplc = 10;
    int samples = 4;
    double settleMs = 5;
    std::string limits; // inline, or @FILE
    bool acceptConditional = false;
    std::string csv, plot, report;
    double vref = board::kDefaultReferenceVolts;
    bool noPreflight = false;
    std::string resume, from;
    std::string serial, operatorName, temperature, note;
    std::string station, out;
    std::string stationSlot; // STATION:N, given by a station to each of its slots
};

// Whatever measures the output: a bench DMM, or the board's own converter.
class Probe {
  public:
    virtual ~Probe() = default;
    virtual std::vector<double> read(Session& session) = 0;
};

class MeterProbe final : public Probe {
  public:
    explicit MeterProbe(meter::Meter& m) : meter_(m) {}
    std::vector<double> read(Session&) override { return meter_.read(); }

  private:
    meter::Meter& meter_;
};

class BoardProbe final : public Probe {
  public:
    explicit BoardProbe(int samples) : samples_(samples) {}
    std::vector<double> read(Session& session) override {
        std::vector<double> volts;
        for (int i = 0; i < samples_; ++i) {
            volts.push_back(board::readingVolts(session.read().counts));
        }
        return volts;
    }

  private:
    int samples_;
};

// The limits of --limits: inline, or a limits file's after @; refused
// before anything is touched, the file and line named.
measure::Limits limitsOf(const std::string& option) {
    std::string why;
    std::optional<measure::Limits> limits;
    if (option.starts_with('@')) {
        const std::string path = option.substr(1);
        QFile file(QString::fromStdString(path));
        // A limits file is a few lines; anything far larger is not one.
        constexpr qint64 kLargest = 1 << 20;
        if (!file.open(QIODevice::ReadOnly) || file.size() > kLargest) {
            throw Failure(BadArguments, "--limits: cannot read the limits file " + path + ": " +
                                            (file.isOpen() ? std::string("larger than 1 MiB")
                                                           : file.errorString().toStdString()));
        }
        limits = measure::Limits::parseFile(file.read(kLargest).toStdString(), path, why);
    } else {
        limits = measure::Limits::parse(option, why);
    }
    if (!limits) {
        throw Failure(BadArguments, "--limits: " + why);
    }
    return *limits;
}

meter::Resource resourceOf(const std::string& text) {
    std::string why;
    const auto resource = meter::Resource::parse(text, why);
    if (!resource) {
        throw Failure(BadArguments, "--meter " + why);
    }
    return *resource;
}

std::string printed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// What the CSV's '#' lines keep of a run: what --resume must find again
// and what --from needs to judge it.
CsvSetup csvSetupOf(const CharacterizeResult& r) {
    CsvSetup setup = {{"qdctl", r.version},
                      {"device", r.device},
                      {"bits", std::to_string(r.bits)},
                      {"reference_v", printed(r.referenceVolts)},
                      {"codes", r.plan},
                      {"samples", std::to_string(r.samples)},
                      {"nplc", printed(r.nplc)},
                      {"settle_ms", printed(r.settleMs)},
                      {"meter", r.meter.empty() ? "on-board" : r.meter},
                      {"meter_idn", r.meterIdentity},
                      {"date", r.date},
                      {"command", r.commandLine}};
    for (const auto& [key, value] :
         {std::pair{"serial", &r.serial}, std::pair{"operator", &r.operatorName},
          std::pair{"temperature", &r.temperature}, std::pair{"note", &r.note}}) {
        if (!value->empty()) {
            setup.emplace_back(key, *value);
        }
    }
    return setup;
}

// Refuses to finish a file measured another way: its rows and this run's
// would make one set of figures from two setups.
void checkResumable(const CsvRun& before, const CsvSetup& now, const std::string& path) {
    for (const std::string& key : kResumeKeys) {
        std::string value;
        for (const auto& [k, v] : now) {
            if (k == key) {
                value = v;
            }
        }
        if (before.value(key) != value) {
            throw Failure(BadArguments, "--resume " + path + ": it was measured with " + key +
                                            " \"" + before.value(key) + "\", this run has \"" +
                                            value + "\"; resume it with the same options");
        }
    }
}

measure::CodeMeasurement measurementOf(const measure::Row& row) {
    measure::CodeMeasurement m{row.code, {}};
    for (const double v : row.values) {
        m.samples.add(v);
    }
    return m;
}

// The figures the measured codes allow, the verdict, and the plot and
// report asked for; an interrupted run gets them too, marked so.
void conclude(CharacterizeResult& r, std::vector<measure::CodeMeasurement> measured,
              bool onBoardConverter, const CharacterizeOptions& o,
              const std::optional<Renderer>& renderer) {
    measure::Setup setup;
    setup.bits = r.bits;
    setup.referenceVolts = r.referenceVolts;
    setup.meterStepVolts = onBoardConverter ? board::readingVolts(1) : 0.0;
    // The plan measures what the figures need first; they take the codes
    // in order.
    std::sort(measured.begin(), measured.end(),
              [](const auto& a, const auto& b) { return a.code < b.code; });
    r.output.reserve(measured.size());
    for (const auto& m : measured) {
        r.output.emplace_back(m.code, m.samples.mean());
    }
    try {
        r.figures = measure::computeFigures(measured, setup);
    } catch (const std::invalid_argument&) {
        // Ended before 0, full scale and the fit range's ends were measured:
        // no line to judge against.
    }
    if (r.figures) {
        r.verdict = measure::judge(*r.figures, r.limits, o.acceptConditional);
    } else {
        r.verdict.decision = measure::Decision::Fail;
    }
    if (r.interrupted() || !r.figures) {
        r.verdict.pass = false;
    }
    if (renderer) {
        writeCharacterization(*renderer, r, o.plot, o.report);
        // Named in the results only once they are there.
        r.plot = o.plot;
        r.report = o.report;
    }
}

CharacterizeResult resultOf(const CharacterizeOptions& o, const CommonOptions& common,
                            const DeviceProfile& device, const std::string& plan,
                            const measure::Limits& limits) {
    CharacterizeResult r;
    r.device = o.device.device;
    r.bits = device.resolution;
    r.referenceVolts = o.vref;
    r.nplc = o.nplc;
    r.samples = o.samples;
    r.settleMs = o.settleMs;
    r.plan = plan;
    r.limits = limits;
    r.csv = o.csv;
    r.date = QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();
    r.serial = o.serial;
    r.operatorName = o.operatorName;
    r.temperature = o.temperature;
    r.note = o.note;
    r.version = QDCTL_VERSION;
    r.commandLine = common.commandLine;
    return r;
}

// --from: the figures, verdict and report of a CSV alone; no board, no meter.
// `source` names where the run came from, in messages and the report.
CharacterizeResult judgeRun(const CsvRun& run, const std::string& source,
                            const CharacterizeOptions& o, const CommonOptions& common,
                            const measure::Limits& limits) {
    CharacterizeOptions as = o;
    as.from = source;
    as.device.device = run.value("device");
    const auto number = [&](const char* key, std::optional<double> otherwise = std::nullopt) {
        try {
            return std::stod(run.value(key));
        } catch (const std::exception&) {
            if (otherwise) {
                return *otherwise;
            }
            throw Failure(BadArguments,
                          source + ": no \"# " + key + ":\" line, which qdctl characterize writes");
        }
    };
    as.vref = number("reference_v");
    as.nplc = number("nplc", 0.0);
    as.settleMs = number("settle_ms", 0.0);
    as.samples = static_cast<int>(number("samples"));
    const DeviceProfile& device = as.device.deviceProfile();
    checkReportPath(o.report, source, o.plot, firmwarePathOf(common));
    checkOutputPaths("", o.plot, firmwarePathOf(common), common.json);
    std::optional<Renderer> renderer;
    if (!o.plot.empty() || !o.report.empty()) {
        renderer.emplace();
    }
    CharacterizeResult r = resultOf(as, common, device, run.value("codes"), limits);
    r.csv = source;
    r.from = source;
    r.date = run.value("date");
    r.meter = run.value("meter") == "on-board" ? "" : run.value("meter");
    r.meterIdentity = run.value("meter_idn");
    r.meterFamily = r.meter.empty() ? "on-board" : "as measured";
    for (const auto& [key, field] :
         {std::pair{"serial", &r.serial}, std::pair{"operator", &r.operatorName},
          std::pair{"temperature", &r.temperature}, std::pair{"note", &r.note}}) {
        if (field->empty()) {
            *field = run.value(key);
        }
    }
    std::vector<measure::CodeMeasurement> measured;
    for (const auto& row : run.rows) {
        measured.push_back(measurementOf(row));
    }
    const std::size_t planned =
        planCodes(device.resolution, *measure::Plan::parse(r.plan.empty() ? "fast" : r.plan))
            .size();
    r.planned = std::max(planned, measured.size());
    r.measured = measured.size();
    conclude(r, std::move(measured), r.meter.empty(), as, renderer);
    return r;
}

CharacterizeResult judgeFile(const CharacterizeOptions& o, const CommonOptions& common,
                             const measure::Limits& limits) {
    return judgeRun(readCsv(o.from, "--from"), o.from, o, common, limits);
}

// Code 0, mid-scale and full scale, read before the plan: a setup that
// cannot give sound figures ends here, in seconds.
void preflight(const measure::Program& program, const measure::Probe& probe,
               const CharacterizeResult& r, const measure::LoopSettings& loop) {
    const std::vector<std::int32_t> codes = measure::preflightCodes(r.bits);
    std::vector<double> means;
    const measure::Sink keep = [&](const measure::Row& row) {
        means.push_back(measurementOf(row).samples.mean());
    };
    measure::LoopSettings settings = loop;
    settings.progress = nullptr;
    const measure::LoopOutcome outcome =
        measure::runLoop(measure::Codes::list(codes), program, probe, {keep}, settings);
    endLoop(outcome, codes.size(), nullptr);
    if (means.size() != codes.size()) {
        return; // stopped by a signal: the caller's loop ends at once too
    }
    measure::PreflightSetup setup;
    setup.bits = r.bits;
    setup.referenceVolts = r.referenceVolts;
    setup.rangeVolts = r.meterRangeVolts;
    if (const auto problem = measure::preflightProblem(means, setup)) {
        throw Failure(CheckFailed, "pre-flight: " + *problem + " (--no-preflight starts anyway)");
    }
}

CharacterizeResult runCharacterize(const CharacterizeOptions& o, const CommonOptions& common) {
    const measure::Limits limits = limitsOf(o.limits);
    if (!o.from.empty()) {
        return judgeFile(o, common, limits);
    }
    const DeviceProfile& device = o.device.deviceProfile();
    const measure::Plan plan = *measure::Plan::parse(o.codes);
    std::optional<meter::Resource> resource;
    if (!o.meter.empty()) {
        resource = resourceOf(o.meter);
    }
    std::optional<CsvRun> before;
    std::vector<measure::Row> resumedRows; // recorded with the run once it begins
    if (!o.resume.empty()) {
        before = readCsv(o.resume, "--resume");
    }
    // A resumed run finishes its own file unless told to write another.
    const std::string csvPath = o.csv.empty() ? o.resume : o.csv;
    const std::string firmware = firmwarePathOf(common);
    checkOutputPaths(csvPath, o.plot, firmware, common.json);
    checkReportPath(o.report, csvPath, o.plot, firmware);
    std::optional<Renderer> renderer;
    if (!o.plot.empty() || !o.report.empty()) {
        renderer.emplace();
    }
    std::vector<std::int32_t> codes = planCodes(device.resolution, plan);

    CharacterizeResult r = resultOf(o, common, device, plan.text(), limits);
    r.csv = csvPath;
    r.planned = codes.size();

    // The meter is asked first: a meter that is not there is found out
    // before the board is touched.
    std::unique_ptr<meter::Meter> dmm;
    std::unique_ptr<Probe> probe;
    try {
        if (resource) {
            const auto timeout = std::chrono::milliseconds(std::lround(o.meterTimeout * 1000));
            dmm = std::make_unique<meter::Meter>(
                meter::connect(*resource, timeout), resource->text, timeout,
                [](const std::string& notice) { session::writeMessage(notice); });
            dmm->configure({o.vref, o.nplc, o.samples});
            r.meter = resource->text;
            r.meterIdentity = dmm->identity();
            r.meterFamily = dmm->family().name;
            r.meterRangeVolts = dmm->rangeVolts();
            r.meterCalibration = dmm->calibrationDate().value_or("");
            probe = std::make_unique<MeterProbe>(*dmm);
        } else {
            r.meterIdentity = "the board's 12-bit measuring converter";
            r.meterFamily = "on-board";
            r.meterRangeVolts = board::kAdcFullScaleVolts;
            probe = std::make_unique<BoardProbe>(o.samples);
        }
    } catch (const meter::MeterError& e) {
        throw Failure(MeterFailed, e.what());
    }
    const CsvSetup setup = csvSetupOf(r);
    std::vector<measure::CodeMeasurement> measured;
    measured.reserve(codes.size());
    std::optional<ResultsFile> csv;
    if (!csvPath.empty()) {
        csv.emplace(csvPath, csvPreamble(setup, o.samples));
    }
    if (before) {
        checkResumable(*before, setup, o.resume);
        std::vector<bool> done(std::size_t{1} << device.resolution);
        for (const measure::Row& row : before->rows) {
            if (row.code < 0 || static_cast<std::size_t>(row.code) >= done.size() ||
                done[static_cast<std::size_t>(row.code)]) {
                continue; // a code measured twice counts once
            }
            done[static_cast<std::size_t>(row.code)] = true;
            measured.push_back(measurementOf(row));
            resumedRows.push_back(row);
            if (csv) {
                csv->write(csvRow(row));
            }
        }
        std::erase_if(codes, [&](std::int32_t c) { return done[static_cast<std::size_t>(c)]; });
        r.resumed = measured.size();
    }

    auto [session, downloaded] = openRecorded(
        common, o.device, true,
        {{"reference_v", printed(o.vref)},
         {"reading_unit", "V"},
         {"meter_idn", r.meterIdentity},
         {"meter_resource", r.meter.empty() ? "on-board" : r.meter},
         {"nplc", dmm ? printed(o.nplc) : ""},
         {"samples", std::to_string(o.samples)},
         {"settle_ms", printed(o.settleMs)},
         {"plan", r.plan},
         {"limits", r.limits.text()},
         {"dut_serial", o.serial},
         {"operator", o.operatorName},
         {"temperature", o.temperature},
         {"note", o.note},
         {"station", o.stationSlot.substr(0, o.stationSlot.find(':'))},
         {"slot", o.stationSlot.empty() ? std::string()
                                        : o.stationSlot.substr(o.stationSlot.find(':') + 1)}});
    r.downloaded = downloaded;
    const session::BoardFields listed = session::listedBoard(session->binding(), session->board());
    r.board = boardIdentifier(listed, session->board());
    r.boardSerial = session::fieldOf(listed, "serial");
    for (const measure::Row& row : resumedRows) {
        recording().add(row.code, row.frame, row.values);
    }
    const StopOnSignals stopOnSignals;
    measure::LoopSettings settings;
    settings.samples = o.samples;
    settings.settleMs = o.settleMs;
    settings.stop = [] { return stopSignal(); };
    // The meter names the code a refused reading was of.
    const measure::Program program = [program = programOn(*session),
                                      meter = dmm.get()](std::int32_t code) {
        if (meter) {
            meter->setContext("code " + formatCode(code));
        }
        return program(code);
    };
    const measure::Probe read = [&probe, board = session.get()](int) {
        return probe->read(*board);
    };
    if (!o.noPreflight && !codes.empty()) {
        preflight(program, read, r, settings);
    }
    Progress progress(codes.size(), !common.quiet, "characterize", true);
    settings.progress = [&](std::size_t done) { progress.update(done); };
    const measure::Sink keep = [&](const measure::Row& row) {
        if (csv) {
            csv->write(csvRow(row));
        }
        measured.push_back(measurementOf(row));
    };
    const measure::LoopOutcome outcome = measure::runLoop(
        measure::Codes::list(codes), program, read, {keep, recording().sink()}, settings);
    progress.finish();
    try {
        endLoop(outcome, codes.size(), csv ? &*csv : nullptr);
    } catch (const Failure& f) {
        // The rows are kept; so are the figures they allow.
        if (f.status() == session::WriteFailed) {
            throw;
        }
        r.endStatus = f.status();
        r.endMessage = f.what();
    }
    if (csv) {
        csv->commit();
    }
    r.signal = stopSignal();
    r.measured = measured.size();
    r.seconds = outcome.seconds;
    r.meterSeconds = outcome.probeSeconds;
    conclude(r, std::move(measured), !dmm, o, renderer);
    recording().conclude(verdictName(r), storedFigures(r));
    return r;
}

class CharacterizeCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions& common) override {
        app.description(
            "Programs each code of a plan, measures the output with a bench DMM (--meter) or the "
            "on-board converter, and computes the datasheet's static figures: zero-code and "
            "full-scale error, offset and gain error from the endpoint line through the fit "
            "range (2^N/128 to 127*2^N/128), INL per code against the endpoint and the best-fit "
            "line, DNL per step and monotonicity, each with its uncertainty from the samples' "
            "spread. Rows go to --csv as they are measured, as a sweep's do. A converter that is "
            "not shown monotonic, or a figure beyond --limits, makes the exit status 1. " +
            measure::decisionRuleText());
        addDevice(app, o_.device, false);
        app.add_option("--meter", o_.meter,
                       "the bench DMM: TCPIP::HOST[::PORT]::SOCKET (raw socket, port 5025 unless "
                       "given), TCPIP::HOST::INSTR (VXI-11) or a USBTMC device file "
                       "(/dev/usbtmc0); without it the on-board converter measures");
        app.add_option("--meter-timeout", o_.meterTimeout,
                       "seconds the meter may take to answer, a reading's integration aside")
            ->check(CLI::Range(0.1, 600.0))
            ->capture_default_str();
        app.add_option("--codes", o_.codes,
                       "all, fast (the carries and a grid: under 1% of a 16-bit converter's "
                       "codes), or EVERY, hexadecimal as every code: every EVERY-th code (100: "
                       "each 256th)")
            ->capture_default_str();
        app.add_option("--nplc", o_.nplc, "the meter's integration time in power-line cycles")
            ->capture_default_str();
        app.add_option("--samples", o_.samples, "readings per code")
            ->check(CLI::Range(1, 100))
            ->capture_default_str();
        app.add_option("--settle", o_.settleMs, "wait after each code, in ms, before reading")
            ->capture_default_str();
        app.add_option("--limits", o_.limits,
                       "pass/fail limits, e.g. inl=2,dnl=1,offset=-1..5,gain=0.1 (LSB, LSB, mV, % "
                       "of full scale; also inl_endpoint in LSB, zero in mV, fullscale in %; one "
                       "number bounds the size, LOW..HIGH the value), or @FILE: a limits file, "
                       "one figure a line (inl 2, offset -1 5), # comments");
        app.add_flag("--accept-conditional", o_.acceptConditional,
                     "pass a CONDITIONAL verdict: a figure whose uncertainty straddles its "
                     "limit");
        app.add_option("--csv", o_.csv,
                       "CSV file of each code's readings as measured, - for standard output");
        app.add_option("--plot", o_.plot, "draw INL and DNL into this file: .png, .svg or .pdf");
        app.add_option("--report", o_.report,
                       "the one-page report: NAME.html (self-contained) or NAME.pdf");
        addReference(app, o_.vref, "the ideal figures");
        app.add_flag("--no-preflight", o_.noPreflight,
                     "start the plan without first reading codes 0, mid-scale and full scale to "
                     "refuse a flat, falling or wrongly scaled output");
        app.add_option("--resume", o_.resume,
                       "FILE.csv of a run that ended early: measure only the codes it lacks, "
                       "with the same options, and finish that file (or --csv)");
        app.add_option("--from", o_.from,
                       "FILE.csv: the figures, verdict and report of a finished or interrupted "
                       "run from its file alone, without a board or a meter");
        app.add_option("--serial", o_.serial, "the serial number of the unit measured");
        app.add_option("--operator", o_.operatorName, "who measured it");
        app.add_option("--temperature", o_.temperature, "the ambient temperature, e.g. 23 °C");
        app.add_option("--note", o_.note, "a line of your own for the report");
        app.add_option("--station", o_.station,
                       "FILE: characterize every slot it lists at once, one a line: BOARD METER "
                       "[DUT-SERIAL] (# comments), each slot with its own board, meter, files "
                       "and recorded run; every other option applies to every slot");
        app.add_option("--out", o_.out,
                       "with --station: the folder that receives each slot's CSV and report, "
                       "named by its DUT serial (default: the current folder)");
        app.add_option("--station-slot", o_.stationSlot)->group("");
        app.add_flag("--no-progress", common.quiet, "the same as --quiet");
        app.footer(footer(
            "  qdctl characterize --device QD1600 --meter TCPIP::192.168.1.20::SOCKET \\\n"
            "      --report qd1600.pdf --limits inl=4,dnl=1\n"
            "  qdctl characterize --device QD1600 --meter /dev/usbtmc0 --limits @qd1600.limits\n"
            "  qdctl characterize --device QD1200 --codes all --csv qd1200.csv\n"
            "  qdctl characterize --device QD1600 --station bench.station --out lot7 \\\n"
            "      --report qd1600.pdf"));
    }

    void check() const override {
        checkReference(o_.vref);
        if (o_.from.empty() && o_.device.device.empty()) {
            throw Failure(BadArguments, "--device is required: the converter fitted to the board");
        }
        if (!o_.from.empty() && (!o_.resume.empty() || !o_.meter.empty() || !o_.csv.empty())) {
            throw Failure(BadArguments, "--from judges a file alone: it takes no --resume, "
                                        "--meter or --csv");
        }
        if (!measure::Plan::parse(o_.codes)) {
            throw Failure(BadArguments, "--codes takes all, fast, or a hexadecimal code EVERY of 1 "
                                        "or more (every EVERY-th code: 100 is each 256th)");
        }
        if (!std::isfinite(o_.nplc) || !(o_.nplc > 0) || o_.nplc > 1000) {
            throw Failure(BadArguments, "--nplc must be a number of power-line cycles above 0");
        }
        if (!(o_.meterTimeout >= 0.1 && o_.meterTimeout <= 600)) { // nan too
            throw Failure(BadArguments, "--meter-timeout must be 0.1 to 600 seconds");
        }
        if (!std::isfinite(o_.settleMs) || o_.settleMs < 0 || o_.settleMs > 60000) {
            throw Failure(BadArguments, "--settle must be 0 to 60000 ms");
        }
        limitsOf(o_.limits);
        checkStation();
    }

    int run(const CommonOptions& common) override {
        if (!o_.station.empty()) {
            return runStation({o_.station, o_.out.empty() ? "." : o_.out, o_.report, o_.plot},
                              common);
        }
        if (!o_.stationSlot.empty()) {
            Progress::forStation();
        }
        const CharacterizeResult result = runCharacterize(o_, common);
        const int status = finish(common, result);
        if (!result.endMessage.empty()) {
            session::writeMessage(result.endMessage);
        }
        return status;
    }

  private:
    // A station gives each slot its own board, meter, files and serial; one
    // given for all of them would be measured over or written over.
    void checkStation() const {
        if (o_.station.empty()) {
            if (!o_.out.empty()) {
                throw Failure(BadArguments, "--out is the folder of a --station's files");
            }
            return;
        }
        for (const auto& [option, value] :
             {std::pair{"--meter", &o_.meter}, std::pair{"--serial", &o_.serial},
              std::pair{"--csv", &o_.csv}, std::pair{"--resume", &o_.resume},
              std::pair{"--from", &o_.from}}) {
            if (!value->empty()) {
                throw Failure(BadArguments, std::string("--station gives each slot its own ") +
                                                option + " from its file; " + option +
                                                " is not taken with it");
            }
        }
        for (const auto& [option, value, kinds] :
             {std::tuple{"--report", &o_.report, std::vector<std::string>{"pdf", "html"}},
              std::tuple{"--plot", &o_.plot, std::vector<std::string>{"png", "svg", "pdf"}}}) {
            const auto dot = value->rfind('.');
            const std::string kind = dot == std::string::npos ? "" : value->substr(dot + 1);
            if (!value->empty() && std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) {
                throw Failure(BadArguments,
                              std::string(option) +
                                  " with --station names the kind of each "
                                  "slot's file by its extension: " +
                                  kinds[0] + ", " + kinds[1] +
                                  (kinds.size() > 2 ? ", " + kinds[2] : std::string()));
            }
        }
    }

    CharacterizeOptions o_;
};

} // namespace

int reportRun(const CsvRun& run, const std::string& source, const std::string& limits,
              const std::string& report, const CommonOptions& common) {
    std::string why;
    const auto parsed = measure::Limits::parse(limits, why);
    if (!parsed) {
        throw Failure(BadArguments,
                      source + ": its limits \"" + limits + "\" do not parse: " + why);
    }
    CharacterizeOptions o;
    o.report = report;
    return finish(common, judgeRun(run, source, o, common, *parsed));
}

std::optional<measure::Figures> figuresOfRun(const CsvRun& run, const std::string& source,
                                             const CommonOptions& common) {
    return judgeRun(run, source, CharacterizeOptions{}, common, limitsOf("")).figures;
}

std::unique_ptr<Subcommand> makeCharacterizeCommand() {
    return std::make_unique<CharacterizeCommand>();
}

} // namespace qd::qdctl

// A characterization: each planned code programmed, settled and measured,
// its readings written as they come, and the converter's figures computed
// from them at the end.

#include "run/Characterize.h"

#include "control/DataWord.h"
#include "measure/Plan.h"
#include "measure/Preflight.h"
#include "meter/Meter.h"
#include "run/Board.h"
#include "run/CharacterizeReport.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "session/ExitStatus.h"

#include <QDateTime>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <tuple>
#include <vector>

namespace qd::run {

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
measure::Limits limitsOfOption(const std::string& option) {
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
              bool onBoardConverter, const CharacterizeSetup& o,
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

CharacterizeResult resultOf(const CharacterizeSetup& o, const CommonOptions& common,
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
CharacterizeResult judge(const CsvRun& run, const std::string& source, const CharacterizeSetup& o,
                         const CommonOptions& common, const measure::Limits& limits) {
    CharacterizeSetup as = o;
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

CharacterizeResult judgeFile(const CharacterizeSetup& o, const CommonOptions& common,
                             const measure::Limits& limits) {
    return judge(readCsv(o.from, "--from"), o.from, o, common, limits);
}

// Code 0, mid-scale and full scale, read before the plan: a setup that
// cannot give sound figures ends here, in seconds.
void preflight(const measure::Program& program, const measure::Probe& probe,
               const CharacterizeResult& r, const measure::LoopSettings& loop,
               const Context& context) {
    const std::vector<std::int32_t> codes = measure::preflightCodes(r.bits);
    std::vector<double> means;
    const measure::Sink keep = [&](const measure::Row& row) {
        means.push_back(measurementOf(row).samples.mean());
    };
    measure::LoopSettings settings = loop;
    settings.progress = nullptr;
    const measure::LoopOutcome outcome =
        measure::runLoop(measure::Codes::list(codes), program, probe, {keep}, settings);
    endLoop(outcome, codes.size(), nullptr, context);
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

CharacterizeResult runPlan(const CharacterizeSetup& o, const CommonOptions& common,
                           const Context& context) {
    const measure::Limits limits = limitsOfOption(o.limits);
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
                context.connectMeter ? context.connectMeter(*resource, timeout)
                                     : meter::connect(*resource, timeout),
                resource->text, timeout,
                [&context](const std::string& notice) { context.say(notice); });
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
        common, o.device, true, context.recording,
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
        context.recording.add(row.code, row.frame, row.values);
    }
    const std::shared_ptr<void> stopHeld = context.stopHeld();
    measure::LoopSettings settings;
    settings.samples = o.samples;
    settings.settleMs = o.settleMs;
    settings.stop = context.stop;
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
        preflight(program, read, r, settings, context);
    }
    if (context.watcher) {
        context.watcher->started(codes.size());
        settings.progress = [&, total = codes.size()](std::size_t done) {
            context.watcher->progress(done, total);
        };
    }
    const measure::Sink keep = [&](const measure::Row& row) {
        if (csv) {
            csv->write(csvRow(row));
        }
        measured.push_back(measurementOf(row));
    };
    const measure::LoopOutcome outcome = measure::runLoop(
        measure::Codes::list(codes), program, read, {keep, context.recording.sink()}, settings);
    if (context.watcher) {
        context.watcher->finished();
    }
    try {
        endLoop(outcome, codes.size(), csv ? &*csv : nullptr, context);
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
    r.signal = context.stop();
    r.measured = measured.size();
    r.seconds = outcome.seconds;
    r.meterSeconds = outcome.probeSeconds;
    conclude(r, std::move(measured), !dmm, o, renderer);
    context.recording.conclude(verdictName(r), storedFigures(r));
    return r;
}

} // namespace

measure::Limits limitsOf(const std::string& option) {
    return limitsOfOption(option);
}

CharacterizeResult characterize(const CharacterizeSetup& setup, const CommonOptions& common,
                                const Context& context) {
    return runPlan(setup, common, context);
}

CharacterizeResult judgeRun(const CsvRun& run, const std::string& source,
                            const CharacterizeSetup& setup, const CommonOptions& common,
                            const measure::Limits& limits) {
    return judge(run, source, setup, common, limits);
}

std::optional<measure::Figures> figuresOfRun(const CsvRun& run, const std::string& source,
                                             const CommonOptions& common) {
    return judge(run, source, CharacterizeSetup{}, common, limitsOfOption("")).figures;
}

} // namespace qd::run

// A characterization: each planned code programmed, settled and measured,
// its readings written as they come, and the converter's figures computed
// from them at the end.

#include "run/Characterize.h"

#include "control/DataWord.h"
#include "control/Tables.h"
#include "measure/Plan.h"
#include "measure/Preflight.h"
#include "meter/Meter.h"
#include "run/Board.h"
#include "run/CharacterizeReport.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "run/Settings.h"
#include "run/Times.h"
#include "session/ExitStatus.h"

#include <QDateTime>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>
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

// The board's own converter as the probe: its readings in volts.
std::vector<double> onBoardVolts(Session& session, int samples) {
    std::vector<double> volts;
    for (int i = 0; i < samples; ++i) {
        volts.push_back(board::readingVolts(session.read().counts));
    }
    return volts;
}

} // namespace

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

void checkSetup(const CharacterizeSetup& o) {
    if (o.from.empty() && o.device.device.empty()) {
        throw Failure(BadArguments, "--device is required: the converter fitted to the board");
    }
    if (!o.from.empty() && (!o.resume.empty() || !o.meter.empty() || !o.csv.empty())) {
        throw Failure(BadArguments, "--from judges a file alone: it takes no --resume, "
                                    "--meter or --csv");
    }
    if (!measure::Plan::parse(o.codes)) {
        throw Failure(BadArguments, "--codes takes all, fast, or a hexadecimal code EVERY of 1 "
                                    "or more (every EVERY-th code: 100 is each 256th)");
    }
    if (!std::isfinite(o.nplc) || !(o.nplc > 0) || o.nplc > 1000) {
        throw Failure(BadArguments, "--nplc must be a number of power-line cycles above 0");
    }
    if (!(o.meterTimeout >= 0.1 && o.meterTimeout <= 600)) { // nan too
        throw Failure(BadArguments, "--meter-timeout must be 0.1 to 600 seconds");
    }
    if (!std::isfinite(o.settleMs) || o.settleMs < 0 || o.settleMs > 60000) {
        throw Failure(BadArguments, "--settle must be 0 to 60000 ms");
    }
    limitsOf(o.limits);
}

namespace {

meter::Resource resourceOf(const std::string& text) {
    std::string why;
    const auto resource = meter::Resource::parse(text, why);
    if (!resource) {
        throw Failure(BadArguments, "--meter " + why);
    }
    return *resource;
}

} // namespace

MeterIdentity identifyMeter(const std::string& resource, double timeoutSeconds) {
    const meter::Resource r = resourceOf(resource);
    try {
        const auto timeout = std::chrono::milliseconds(std::lround(timeoutSeconds * 1000));
        const meter::Meter dmm(meter::connect(r, timeout), r.text, timeout);
        return {dmm.identity(), dmm.family().name, dmm.calibrationDate().value_or("")};
    } catch (const meter::MeterError& e) {
        throw Failure(MeterFailed, e.what());
    }
}

namespace {

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
    r.date = localNow();
    r.serial = o.serial;
    r.operatorName = o.operatorName;
    r.temperature = o.temperature;
    r.note = o.note;
    r.version = QDCTL_VERSION;
    r.commandLine = common.commandLine;
    if (const auto colon = o.stationSlot.find(':'); colon != std::string::npos) {
        r.station = o.stationSlot.substr(0, colon);
        r.slot = o.stationSlot.substr(colon + 1);
    }
    return r;
}

} // namespace

CharacterizeResult judgeRun(const CsvRun& run, const std::string& source,
                            const CharacterizeSetup& o, const CommonOptions& common,
                            const measure::Limits& limits, const results::Run* stored) {
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
    const KeptFiles kept = keptFilesOf(common);
    checkReportPath(o.report, source, o.plot, kept);
    checkOutputPaths("", o.plot, kept, common.json);
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
    if (stored != nullptr) {
        r.board = stored->get("board_serial").empty() ? stored->get("board")
                                                      : stored->get("board_serial");
        r.boardSerial = stored->get("board_serial");
        r.commandLine = stored->get("command_line");
        r.version = stored->get("qdctl_version");
        r.station = stored->get("station");
        r.slot = stored->get("slot");
        if (const std::string family = storedSetting(*stored, "meter_family"); !family.empty()) {
            r.meterFamily = family;
        }
        r.meterCalibration = storedSetting(*stored, "meter_calibration");
        try {
            r.meterRangeVolts = std::stod(storedSetting(*stored, "meter_range_v"));
        } catch (const std::exception&) {
            r.meterRangeVolts = 0;
        }
        const QDateTime started = QDateTime::fromString(
                            QString::fromStdString(stored->get("started")), Qt::ISODateWithMs),
                        ended = QDateTime::fromString(QString::fromStdString(stored->get("ended")),
                                                      Qt::ISODateWithMs);
        if (started.isValid() && ended.isValid()) {
            r.seconds = static_cast<double>(started.msecsTo(ended)) / 1000.0;
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

namespace {

CharacterizeResult judgeFile(const CharacterizeSetup& o, const CommonOptions& common,
                             const measure::Limits& limits) {
    return judgeRun(readCsv(o.from, "--from"), o.from, o, common, limits);
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

// The meter asked for, connected and set up, its identity in `r`; none for
// the on-board converter. Asked first: a meter that is not there is found
// out before the board is touched.
std::unique_ptr<meter::Meter> connectMeter(const std::optional<meter::Resource>& resource,
                                           const CharacterizeSetup& o, CharacterizeResult& r,
                                           const Context& context) {
    if (!resource) {
        r.meterIdentity = "the board's 12-bit measuring converter";
        r.meterFamily = "on-board";
        r.meterRangeVolts = board::kAdcFullScaleVolts;
        return nullptr;
    }
    try {
        const auto timeout = std::chrono::milliseconds(std::lround(o.meterTimeout * 1000));
        auto dmm = std::make_unique<meter::Meter>(
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
        return dmm;
    } catch (const meter::MeterError& e) {
        throw Failure(MeterFailed, e.what());
    }
}

// What the store keeps of a characterization beside what every run holds:
// its settings, and that its readings are volts.
std::map<std::string, std::string> recordedFields(const CharacterizeResult& r, bool meter) {
    std::map<std::string, std::string> fields = recordedSettings(r, meter);
    fields["reading_unit"] = "V";
    return fields;
}

// A characterization from its setup to its conclusion: each step a
// function, the state they share here.
class Characterization {
  public:
    Characterization(const CharacterizeSetup& o, const CommonOptions& common,
                     const Context& context)
        : o_(o), common_(common), context_(context) {}

    CharacterizeResult run(const measure::Limits& limits) {
        const DeviceProfile& device = o_.device.deviceProfile();
        const measure::Plan plan = *measure::Plan::parse(o_.codes);
        std::optional<meter::Resource> resource; // refused before anything is opened
        if (!o_.meter.empty()) {
            resource = resourceOf(o_.meter);
        }
        std::optional<CsvRun> before;
        if (!o_.resume.empty()) {
            before = readCsv(o_.resume, "--resume");
        }
        // A resumed run finishes its own file unless told to write another.
        const std::string csvPath = o_.csv.empty() ? o_.resume : o_.csv;
        const KeptFiles kept = keptFilesOf(common_);
        checkOutputPaths(csvPath, o_.plot, kept, common_.json);
        checkReportPath(o_.report, csvPath, o_.plot, kept);
        if (!o_.plot.empty() || !o_.report.empty()) {
            renderer_.emplace();
        }
        codes_ = planCodes(device.resolution, plan);
        r_ = resultOf(o_, common_, device, plan.text(), limits);
        r_.csv = csvPath;
        r_.planned = codes_.size();

        dmm_ = connectMeter(resource, o_, r_, context_);
        const CsvSetup setup = csvSetupOf(r_);
        measured_.reserve(codes_.size());
        if (!csvPath.empty()) {
            csv_.emplace(csvPath, csvPreamble(setup, o_.samples));
        }
        if (before) {
            checkResumable(*before, setup, o_.resume);
            resume(*before, device.resolution);
        }
        auto opened = openRecorded(common_, o_.device, true, context_.recording,
                                   recordedFields(r_, dmm_ != nullptr));
        session_ = std::move(opened.session);
        r_.downloaded = opened.downloaded;
        const session::BoardFields listed =
            session::listedBoard(session_->binding(), session_->board());
        r_.board = boardIdentifier(listed, session_->board());
        r_.boardSerial = session::fieldOf(listed, "serial");
        for (const measure::Row& row : resumedRows_) {
            context_.recording.add(row.code, row.frame, row.values);
        }
        // Held to the end: a stop while the report is drawn waits for it.
        const std::shared_ptr<void> stopHeld = context_.stopHeld();
        measurePlan();
        conclude(r_, std::move(measured_), !dmm_, o_, renderer_);
        context_.recording.conclude(verdictName(r_), storedFigures(r_));
        return std::move(r_);
    }

  private:
    // The rows of the file resumed, each code once, taken as measured; the
    // plan keeps only the codes they lack.
    void resume(const CsvRun& before, int bits) {
        std::vector<bool> done(std::size_t{1} << bits);
        for (const measure::Row& row : before.rows) {
            if (row.code < 0 || static_cast<std::size_t>(row.code) >= done.size() ||
                done[static_cast<std::size_t>(row.code)]) {
                continue; // a code measured twice counts once
            }
            done[static_cast<std::size_t>(row.code)] = true;
            measured_.push_back(measurementOf(row));
            resumedRows_.push_back(row);
            if (csv_) {
                csv_->write(csvRow(row));
            }
        }
        std::erase_if(codes_, [&](std::int32_t c) { return done[static_cast<std::size_t>(c)]; });
        r_.resumed = measured_.size();
    }

    // Pre-flight, then the plan's codes through the one loop: rows to the
    // CSV, the figures' measurements and the recording as they come.
    void measurePlan() {
        measure::LoopSettings settings;
        settings.samples = o_.samples;
        settings.settleMs = o_.settleMs;
        settings.stop = context_.stop; // pre-flight's loop stops as the plan's
        // The meter names the code a refused reading was of.
        const measure::Program program = [program = programOn(*session_),
                                          meter = dmm_.get()](std::int32_t code) {
            if (meter) {
                meter->setContext("code " + formatCode(code));
            }
            return program(code);
        };
        const measure::Probe read = [this](int) {
            return dmm_ ? dmm_->read() : onBoardVolts(*session_, o_.samples);
        };
        if (!o_.noPreflight && !codes_.empty()) {
            preflight(program, read, r_, settings, context_);
        }
        const measure::Sink keep = [this](const measure::Row& row) {
            if (csv_) {
                csv_->write(csvRow(row));
            }
            measured_.push_back(measurementOf(row));
        };
        const measure::LoopOutcome outcome =
            runWatched(measure::Codes::list(codes_), program, read,
                       {keep, context_.recording.sink()}, settings, context_);
        try {
            endLoop(outcome, codes_.size(), csv_ ? &*csv_ : nullptr, context_);
        } catch (const Failure& f) {
            // The rows are kept; so are the figures they allow.
            if (f.status() == session::WriteFailed) {
                throw;
            }
            r_.endStatus = f.status();
            r_.endMessage = f.what();
        }
        if (csv_) {
            csv_->commit();
        }
        r_.signal = context_.stop();
        r_.measured = measured_.size();
        r_.seconds = outcome.seconds;
        r_.meterSeconds = outcome.probeSeconds;
    }

    const CharacterizeSetup& o_;
    const CommonOptions& common_;
    const Context& context_;
    CharacterizeResult r_;
    std::optional<Renderer> renderer_;
    std::vector<std::int32_t> codes_;
    std::unique_ptr<meter::Meter> dmm_;
    std::optional<ResultsFile> csv_;
    std::vector<measure::CodeMeasurement> measured_;
    std::vector<measure::Row> resumedRows_; // recorded with the run once it begins
    std::unique_ptr<Session> session_;
};

} // namespace

CharacterizeResult characterize(const CharacterizeSetup& o, const CommonOptions& common,
                                const Context& context) {
    const measure::Limits limits = limitsOf(o.limits);
    if (!o.from.empty()) {
        return judgeFile(o, common, limits);
    }
    return Characterization(o, common, context).run(limits);
}

std::optional<measure::Figures> figuresOfStored(const results::Run& run,
                                                const std::vector<results::Reading>& readings) {
    const control::DeviceProfile* device = control::findDevice(run.get("device"));
    double referenceVolts = 0;
    try {
        referenceVolts = std::stod(run.get("reference_v"));
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (!device) {
        return std::nullopt;
    }
    // A code's samples come in order, the first numbered 1.
    std::vector<measure::CodeMeasurement> measured;
    for (const results::Reading& r : readings) {
        if (r.sample == 1 || measured.empty()) {
            measured.push_back({r.code, {}});
        }
        measured.back().samples.add(r.value);
    }
    std::sort(measured.begin(), measured.end(),
              [](const auto& a, const auto& b) { return a.code < b.code; });
    measure::Setup setup;
    setup.bits = device->resolution;
    setup.referenceVolts = referenceVolts;
    setup.meterStepVolts = run.get("meter_resource") == "on-board" ? board::readingVolts(1) : 0.0;
    try {
        return measure::computeFigures(measured, setup);
    } catch (const std::invalid_argument&) {
        return std::nullopt; // it lacks the codes they need
    }
}

} // namespace qd::run

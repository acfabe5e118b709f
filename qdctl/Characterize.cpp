// qdctl characterize: each planned code programmed, settled and measured,
// its readings written as they come, and the converter's figures computed
// from them at the end.

#include "control/DataWord.h"
#include "measure/Plan.h"
#include "meter/Meter.h"
#include "qdctl/BoardCommands.h"
#include "qdctl/CharacterizeReport.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/Progress.h"
#include "qdctl/Renderer.h"
#include "qdctl/ResultsFile.h"
#include "qdctl/StopSignals.h"

#include <CLI/CLI.hpp>
#include <QDateTime>
#include <QFile>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace qd::qdctl {

using session::BadArguments;
using session::boardIdentifier;
using session::CommonOptions;
using session::DeviceChoice;
using session::Failure;
using session::firmwarePathOf;
using session::MeterFailed;
using session::openSession;
using session::Session;

using control::DeviceProfile;
using control::formatCode;
using control::formatNumber;

namespace {

using namespace std::chrono_literals;

constexpr auto kMeterTimeout = 5000ms;

struct CharacterizeOptions {
    DeviceChoice device;
    std::string meter; // a VISA resource or a USBTMC device file; empty: the on-board converter
    std::string codes = "fast";
    double nplc = 10;
    int samples = 4;
    double settleMs = 5;
    std::string limits; // inline, or @FILE
    bool acceptConditional = false;
    std::string csv, plot, report;
    double vref = board::kDefaultReferenceVolts;
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

std::string csvHeaderFor(int samples) {
    std::string header = "code,frame,mean_v,spread_v";
    for (int i = 1; i <= samples; ++i) {
        header += ",v" + std::to_string(i);
    }
    return header + "\n";
}

std::string csvRowOf(std::int32_t code, std::int32_t frame, const measure::CodeSamples& s,
                     const std::vector<double>& volts) {
    std::string row =
        formatCode(code) + "," + formatCode(frame) + "," + formatNumber(s.mean()) + ",";
    if (s.count() > 1) {
        row += formatNumber(std::sqrt(s.squares() / static_cast<double>(s.count() - 1)));
    }
    for (const double v : volts) {
        row += "," + formatNumber(v);
    }
    return row + "\n";
}

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

CharacterizeResult runCharacterize(const CharacterizeOptions& o, const CommonOptions& common) {
    const DeviceProfile& device = o.device.deviceProfile();
    const measure::Plan plan = *measure::Plan::parse(o.codes);
    const measure::Limits limits = limitsOf(o.limits);
    std::optional<meter::Resource> resource;
    if (!o.meter.empty()) {
        resource = resourceOf(o.meter);
    }
    const std::string firmware = firmwarePathOf(common);
    checkOutputPaths(o.csv, o.plot, firmware, common.json);
    checkReportPath(o.report, o.csv, o.plot, firmware);
    std::optional<Renderer> renderer;
    if (!o.plot.empty() || !o.report.empty()) {
        renderer.emplace();
    }
    const std::vector<std::int32_t> codes = planCodes(device.resolution, plan);

    CharacterizeResult r;
    r.device = o.device.device;
    r.bits = device.resolution;
    r.referenceVolts = o.vref;
    r.nplc = o.nplc;
    r.samples = o.samples;
    r.settleMs = o.settleMs;
    r.plan = plan.text();
    r.planned = codes.size();
    r.limits = limits;
    r.csv = o.csv;
    r.date = QDateTime::currentDateTime().toString(Qt::ISODate).toStdString();

    // The meter is asked first: a meter that is not there is found out
    // before the board is touched.
    std::unique_ptr<meter::Meter> dmm;
    std::unique_ptr<Probe> probe;
    try {
        if (resource) {
            dmm = std::make_unique<meter::Meter>(meter::connect(*resource, kMeterTimeout),
                                                 resource->text);
            dmm->configure({o.vref, o.nplc, o.samples});
            r.meter = resource->text;
            r.meterIdentity = dmm->identity();
            r.meterFamily = dmm->family().name;
            r.meterRangeVolts = dmm->rangeVolts();
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
    std::optional<ResultsFile> csv;
    if (!o.csv.empty()) {
        csv.emplace(o.csv, csvHeaderFor(o.samples));
    }

    auto [session, downloaded] = openSession(common, o.device, true);
    r.downloaded = downloaded;
    r.board = boardIdentifier(session->binding(), common.board);
    std::vector<measure::CodeMeasurement> measured;
    measured.reserve(codes.size());
    Progress progress(codes.size(), !common.quiet, "characterize", true);
    const StopOnSignals stopOnSignals;
    measure::LoopSettings settings;
    settings.samples = o.samples;
    settings.settleMs = o.settleMs;
    settings.progress = [&](std::size_t done) { progress.update(done); };
    settings.stop = [] { return stopSignal(); };
    const measure::Sink keep = [&](const measure::Row& row) {
        measure::CodeMeasurement m{row.code, {}};
        for (const double v : row.values) {
            m.samples.add(v);
        }
        if (csv) {
            csv->write(csvRowOf(row.code, row.frame, m.samples, row.values));
        }
        measured.push_back(m);
    };
    const measure::LoopOutcome outcome = measure::runLoop(
        measure::Codes::list(codes), programOn(*session),
        [&probe, board = session.get()](int) { return probe->read(*board); }, {keep}, settings);
    progress.finish();
    endLoop(outcome, codes.size(), csv ? &*csv : nullptr);
    if (csv) {
        csv->commit();
    }
    r.signal = stopSignal();
    r.measured = measured.size();
    r.seconds = outcome.seconds;
    r.meterSeconds = outcome.probeSeconds;
    if (r.measured == codes.size()) {
        measure::Setup setup;
        setup.bits = device.resolution;
        setup.referenceVolts = o.vref;
        setup.meterStepVolts = dmm ? 0.0 : board::readingVolts(1);
        // The plan measures what the figures need first; they take the
        // codes in order.
        std::sort(measured.begin(), measured.end(),
                  [](const auto& a, const auto& b) { return a.code < b.code; });
        r.figures = measure::computeFigures(measured, setup);
        r.verdict = measure::judge(*r.figures, limits, o.acceptConditional);
        if (renderer) {
            writeCharacterization(*renderer, r, o.plot, o.report);
            // Named in the results only once they are there.
            r.plot = o.plot;
            r.report = o.report;
        }
    } else {
        r.verdict.decision = measure::Decision::Fail;
        r.verdict.pass = false;
    }
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
        addDevice(app, o_.device, true);
        app.add_option("--meter", o_.meter,
                       "the bench DMM: TCPIP::HOST[::PORT]::SOCKET (raw socket, port 5025 unless "
                       "given), TCPIP::HOST::INSTR (VXI-11) or a USBTMC device file "
                       "(/dev/usbtmc0); without it the on-board converter measures");
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
        app.add_flag("--no-progress", common.quiet, "the same as --quiet");
        app.footer(footer(
            "  qdctl characterize --device QD1600 --meter TCPIP::192.168.1.20::SOCKET \\\n"
            "      --report qd1600.pdf --limits inl=4,dnl=1\n"
            "  qdctl characterize --device QD1600 --meter /dev/usbtmc0 --limits @qd1600.limits\n"
            "  qdctl characterize --device QD1200 --codes all --csv qd1200.csv"));
    }

    void check() const override {
        checkReference(o_.vref);
        if (!measure::Plan::parse(o_.codes)) {
            throw Failure(BadArguments, "--codes takes all, fast, or a hexadecimal code EVERY of 1 "
                                        "or more (every EVERY-th code: 100 is each 256th)");
        }
        if (!std::isfinite(o_.nplc) || !(o_.nplc > 0) || o_.nplc > 1000) {
            throw Failure(BadArguments, "--nplc must be a number of power-line cycles above 0");
        }
        if (!std::isfinite(o_.settleMs) || o_.settleMs < 0 || o_.settleMs > 60000) {
            throw Failure(BadArguments, "--settle must be 0 to 60000 ms");
        }
        limitsOf(o_.limits);
    }

    int run(const CommonOptions& common) override {
        return finish(common, runCharacterize(o_, common));
    }

  private:
    CharacterizeOptions o_;
};

} // namespace

std::unique_ptr<Subcommand> makeCharacterizeCommand() {
    return std::make_unique<CharacterizeCommand>();
}

} // namespace qd::qdctl

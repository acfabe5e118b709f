// qdctl characterize: each planned code programmed, settled and measured,
// its readings written as they come, and the converter's figures computed
// from them at the end.

#include "control/Commands.h"
#include "measure/Plan.h"
#include "meter/Meter.h"
#include "qdctl/CharacterizeReport.h"
#include "qdctl/Commands.h"
#include "qdctl/Output.h"
#include "qdctl/Progress.h"
#include "qdctl/Renderer.h"
#include "qdctl/ResultsFile.h"
#include "qdctl/StopSignals.h"

#include <QDateTime>
#include <algorithm>
#include <chrono>
#include <cmath>

namespace qd::cli {

namespace {

using namespace std::chrono_literals;

constexpr auto kMeterTimeout = 5000ms;

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

meter::Resource resourceOf(const std::string& text) {
    std::string why;
    const auto resource = meter::Resource::parse(text, why);
    if (!resource) {
        throw Failure(BadArguments, "--meter " + why);
    }
    return *resource;
}

} // namespace

CharacterizeResult runCharacterize(const Options& o) {
    const DeviceProfile& device = o.deviceProfile();
    const measure::Plan plan = *measure::Plan::parse(o.codes);
    std::string why;
    const measure::Limits limits = *measure::Limits::parse(o.limits, why);
    std::optional<meter::Resource> resource;
    if (!o.meter.empty()) {
        resource = resourceOf(o.meter);
    }
    const std::string firmware = firmwarePathOf(o);
    checkOutputPaths(o.csv, o.plot, firmware, o.json);
    checkReportPath(o.report, o.csv, o.plot, firmware);
    std::optional<Renderer> renderer;
    if (!o.plot.empty() || !o.report.empty()) {
        renderer.emplace();
    }
    const std::vector<std::int32_t> codes = planCodes(device.resolution, plan);

    CharacterizeResult r;
    r.device = o.device;
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

    auto [session, downloaded] = openSession(o, true);
    r.downloaded = downloaded;
    r.board = boardIdentifier(session->binding(), o.board);
    std::vector<measure::CodeMeasurement> measured;
    measured.reserve(codes.size());
    Progress progress(codes.size(), !o.quiet, "characterize", true);
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
        measure::Codes::list(codes),
        [board = session.get()](std::int32_t code) {
            board->program(code);
            return static_cast<std::int32_t>(board->state.DacWord);
        },
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
        r.verdict = measure::judge(*r.figures, limits);
        if (renderer) {
            writeCharacterization(*renderer, r, o.plot, o.report);
            // Named in the results only once they are there.
            r.plot = o.plot;
            r.report = o.report;
        }
    } else {
        r.verdict.pass = false;
    }
    return r;
}

} // namespace qd::cli

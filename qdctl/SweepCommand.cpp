// qdctl sweep: every STEP-th code of a range programmed and read back, a
// CSV row each as it is measured, and the statistics of the whole.

#include "control/DataWord.h"
#include "control/RuntimeError.h"
#include "qdctl/BoardCommands.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/Progress.h"
#include "qdctl/Recording.h"
#include "qdctl/Renderer.h"
#include "qdctl/ResultsFile.h"
#include "qdctl/StopSignals.h"
#include "qdctl/SweepPlot.h"

#include <CLI/CLI.hpp>

namespace qd::qdctl {

using session::BadArguments;
using session::CommonOptions;
using session::DeviceChoice;
using session::Failure;
using session::firmwarePathOf;

using control::DeviceProfile;
using control::parseHexCode;
using control::RuntimeError;

namespace {

struct SweepOptions {
    DeviceChoice device;
    std::string from, to, step = "1";
    std::string csv, plot;
    double vref = board::kDefaultReferenceVolts;
    // In measuring-converter counts; checked only when told.
    std::optional<double> tolerance;
    bool clamp = false;
    bool timing = false;
};

SweepResult runSweep(const SweepOptions& o, const CommonOptions& common) {
    const DeviceProfile& device = o.device.deviceProfile();
    const Code first = validateCode(device, o.from, o.clamp, "--from");
    const Code last = validateCode(device, o.to, o.clamp, "--to");
    const std::int32_t from = first.value;
    const std::int32_t to = last.value;
    std::int32_t step = 0;
    try {
        step = parseHexCode(o.step);
    } catch (const RuntimeError&) {
    }
    if (step < 1) {
        throw Failure(BadArguments, "--step must be a hexadecimal number of 1 or more");
    }
    if (from > to) {
        throw Failure(BadArguments, "--from " + o.from + " lies above --to " + o.to);
    }
    const std::string firmware = firmwarePathOf(common);
    checkOutputPaths(o.csv, o.plot, firmware, common.json);
    std::optional<Renderer> plotter;
    if (!o.plot.empty()) {
        plotter.emplace();
    }
    ResultsFile csv(o.csv, csvHeader());

    auto [session, downloaded] = openRecorded(
        common, o.device, true,
        {{"reference_v", control::formatNumber(o.vref)},
         {"reading_unit", "counts"},
         {"plan", control::formatCode(from) + " to " + control::formatCode(to) + " step " +
                      control::formatCode(step)},
         {"limits",
          o.tolerance ? "tolerance " + control::formatNumber(*o.tolerance) + " counts" : ""}});
    const measure::Codes codes = measure::Codes::range(from, to, step);
    SweepPlot plot(from, to);
    SweepStatistics statistics(o.tolerance);
    Progress progress(codes.size(), !common.quiet);
    const StopOnSignals stopOnSignals;
    const std::int16_t mode = o.device.powerMode();
    const auto sweepRow = [&](const measure::Row& measured) {
        SweepRow row;
        row.code = measured.code;
        row.frame = measured.frame;
        row.measuredCounts = static_cast<std::int32_t>(measured.values.front());
        row.measuredVolts = board::readingVolts(row.measuredCounts);
        row.expectedVolts = expectedVolts(row.code, device.resolution, o.vref, mode);
        row.expectedCounts = expectedCounts(row.code, device.resolution, o.vref, mode);
        csv.write(csvRow(row));
        statistics.add(row);
        if (plotter) {
            plot.add(row);
        }
    };
    measure::LoopSettings settings;
    settings.progress = [&](std::size_t done) { progress.update(done); };
    settings.stop = [] { return stopSignal(); };
    const measure::LoopOutcome outcome = measure::runLoop(
        codes, programOn(*session),
        [board = session.get()](int) {
            return std::vector<double>{static_cast<double>(board->read().counts)};
        },
        {sweepRow, recording().sink()}, settings);
    progress.finish();
    endLoop(outcome, codes.size(), &csv);
    csv.commit();

    SweepResult r;
    r.device = o.device.device;
    r.mode = o.device.mode;
    r.summary = statistics.summary();
    r.csv = o.csv;
    r.plot = o.plot;
    r.downloaded = downloaded;
    r.clamped = !first.clampedFrom.empty() || !last.clampedFrom.empty();
    r.signal = stopSignal();
    r.seconds = outcome.seconds;
    {
        const SweepSummary& m = r.summary;
        results::Figure largest =
            figureOf("largest_deviation_counts", m.largestDeviationCounts, "counts");
        largest.code = m.largestDeviationCode;
        results::Figure monotonic = figureOf("monotonic", m.monotonic ? 1 : 0, "");
        monotonic.text = m.monotonic ? "yes" : "no";
        recording().conclude(m.pass() ? "PASS" : "FAIL",
                             {figureOf("offset_counts", m.offsetCounts, "counts"),
                              figureOf("gain_error_percent", m.gainErrorPercent, "%"), largest,
                              monotonic});
    }
    const double inLibrary =
        std::chrono::duration<double>(session->binding().timeInLibrary).count();
    r.shareOutsideLibrary = r.seconds > 0 ? 1.0 - inLibrary / r.seconds : 0;
    if (plotter) {
        r.plotSeconds = plotter->write(
            plot.data(o.device.device + " " + o.device.mode + " sweep", sweepSummaryLines(r)),
            o.plot, plotFormat(o.plot), true);
    }
    return r;
}

class SweepCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions& common) override {
        app.description(
            "Programs every STEP-th code from FROM to TO (all hexadecimal), reads each back and "
            "writes one CSV row per code as it is measured: code, frame, expected V, measured V, "
            "error in mV and in counts against the ideal reading, measured counts. The rows go "
            "to a file beside the CSV that takes its name when the sweep ends, also when it ends "
            "early. Prints offset and gain error, the largest deviation and whether the output "
            "is monotonic; a reading that does not follow the codes (flat or falling) makes the "
            "exit status 1, as does a point beyond --tolerance.");
        addDevice(app, o_.device, true);
        addMode(app, o_.device);
        app.add_option("--from", o_.from, "first code (hexadecimal)")->required();
        app.add_option("--to", o_.to, "last code (hexadecimal)")->required();
        app.add_option("--step", o_.step, "step between codes (hexadecimal)")
            ->capture_default_str();
        app.add_option("--csv", o_.csv,
                       "CSV file to write, - for the rows alone on standard output (the summary "
                       "then goes to standard error)")
            ->required();
        app.add_option("--plot", o_.plot,
                       "draw measured, expected and error into this file: .png, .svg or .pdf");
        addReference(app, o_.vref, "the expectations");
        addTolerance(app, o_.tolerance, "; with it, a point beyond it makes the exit status 1");
        addClamp(app, o_.clamp);
        app.add_flag("--no-progress", common.quiet, "the same as --quiet");
        app.add_flag("--timing", o_.timing, "report the time spent outside the link library");
        app.footer(footer("  qdctl sweep --device QD1200 --from 0 --to FFF --csv qd1200.csv "
                          "--plot qd1200.png\n"
                          "  qdctl sweep --device QD1600 --from 0 --to FFFF --step 100 "
                          "--csv coarse.csv"));
    }
    void check() const override {
        checkReference(o_.vref);
        checkTolerance(o_.tolerance);
    }
    int run(const CommonOptions& common) override {
        return finish(common, runSweep(o_, common), o_.timing);
    }

  private:
    SweepOptions o_;
};

} // namespace

std::unique_ptr<Subcommand> makeSweepCommand() {
    return std::make_unique<SweepCommand>();
}

} // namespace qd::qdctl

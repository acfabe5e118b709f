// qdctl sweep: every STEP-th code of a range programmed and read back, a
// CSV row each as it is measured, and the statistics of the whole.

#include "control/DataWord.h"
#include "control/RuntimeError.h"
#include "measure/FigureKinds.h"
#include "qdctl/BoardCommands.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/Progress.h"
#include "qdctl/StopSignals.h"
#include "run/Recording.h"

#include <CLI/CLI.hpp>
#include <cstdio>

namespace qd::qdctl {

using run::sweepSummaryLines;

using session::BadArguments;
using session::CommonOptions;
using session::DeviceChoice;
using session::Failure;
using session::firmwarePathOf;

using control::DeviceProfile;
using control::formatCode;
using control::parseHexCode;
using control::RuntimeError;
using measure::responseWord;
using session::CheckFailed;
using session::Ok;

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

// The sweep's setup from its options, refused (Failure(BadArguments)) as
// the data-word box would refuse its codes.
run::SweepSetup setupOf(const SweepOptions& o) {
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
    run::SweepSetup setup;
    setup.device = o.device;
    setup.from = from;
    setup.to = to;
    setup.step = step;
    setup.csv = o.csv;
    setup.plot = o.plot;
    setup.vref = o.vref;
    setup.tolerance = o.tolerance;
    setup.clamped = !first.clampedFrom.empty() || !last.clampedFrom.empty();
    return setup;
}

std::string sweepText(const SweepResult& r) {
    std::string out;
    for (const auto& line : sweepSummaryLines(r)) {
        out += line + "\n";
    }
    return out + "firmware           " + (r.downloaded ? "loaded" : "already running");
}

QJsonObject sweepJson(const SweepResult& r) {
    const SweepSummary& s = r.summary;
    QJsonObject json{{"device", qstring(r.device)},
                     {"mode", qstring(r.mode)},
                     {"points", static_cast<qint64>(s.points)},
                     {"offset_error_counts", s.offsetCounts},
                     {measure::kOffsetError.name, s.offsetMillivolts()},
                     {measure::kGainError.name, s.gainErrorPercent},
                     {"largest_deviation_mv", s.largestDeviationMillivolts()},
                     {"largest_deviation_counts", s.largestDeviationCounts},
                     {"largest_deviation_code", qstring(formatCode(s.largestDeviationCode))},
                     {"monotonic", s.monotonic},
                     {"reading", responseWord(s.response)},
                     {"pass", s.pass()},
                     {"clamped", r.clamped},
                     {"csv", qstring(r.csv)},
                     {"firmware", firmwareWord(r.downloaded)},
                     {"interrupted", r.signal != 0}};
    if (s.toleranceCounts) {
        json.insert("tolerance_counts", *s.toleranceCounts);
        json.insert("points_beyond_tolerance", static_cast<qint64>(s.pointsBeyondTolerance));
    }
    if (!r.plot.empty()) {
        json.insert("plot", qstring(r.plot));
    }
    return json;
}

std::string timingText(const SweepResult& r) {
    char text[200];
    const double rate = r.seconds > 0 ? static_cast<double>(r.summary.points) / r.seconds : 0;
    std::snprintf(text, sizeof text,
                  "%zu codes in %.3f s: %.0f codes/s, %.1f %% of it outside the link library",
                  r.summary.points, r.seconds, rate, 100.0 * r.shareOutsideLibrary);
    std::string line = text;
    if (!r.plot.empty()) {
        std::snprintf(text, sizeof text, "; plot drawn in %.3f s", r.plotSeconds);
        line += text;
    }
    return line;
}

// A sweep's outcome; a signal that ended it makes its status 128 + the
// signal, and --timing adds what its time went on.
Outcome outcomeOf(const SweepResult& r, bool timing) {
    Outcome o{[&r] { return sweepText(r); }, [&r] { return sweepJson(r); },
              r.signal != 0      ? 128 + r.signal
              : r.summary.pass() ? Ok
                                 : CheckFailed};
    o.textToStandardError = r.csv == "-";
    if (timing) {
        o.timing = timingText(r);
    }
    return o;
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
    int run(const CommonOptions& common, run::Recording& recording) override {
        Progress progress(!common.quiet);
        const SweepResult r = run::sweep(setupOf(o_), common, commandContext(recording, &progress));
        return finish(common, outcomeOf(r, o_.timing), recording.id());
    }

  private:
    SweepOptions o_;
};

} // namespace

std::unique_ptr<Subcommand> makeSweepCommand() {
    return std::make_unique<SweepCommand>();
}

} // namespace qd::qdctl

// qdctl sweep: every STEP-th code of a range programmed and read back, a
// CSV row each as it is measured, and the statistics of the whole.

#include "control/DataWord.h"
#include "control/RuntimeError.h"
#include "qdctl/BoardCommands.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/Progress.h"
#include "qdctl/StopSignals.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "run/SweepPlot.h"

#include <CLI/CLI.hpp>

namespace qd::qdctl {

using run::checkOutputPaths;
using run::endLoop;
using run::figureOf;
using run::openRecorded;
using run::plotFormat;
using run::programOn;
using run::Renderer;
using run::ResultsFile;
using run::SweepPlot;

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
        return finish(common, run::sweep(setupOf(o_), common, commandContext(recording, &progress)),
                      recording.id(), o_.timing);
    }

  private:
    SweepOptions o_;
};

} // namespace

std::unique_ptr<Subcommand> makeSweepCommand() {
    return std::make_unique<SweepCommand>();
}

} // namespace qd::qdctl

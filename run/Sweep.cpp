#include "run/Sweep.h"

#include "control/DataWord.h"
#include "measure/FigureKinds.h"
#include "run/Board.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "run/SweepPlot.h"
#include "run/Times.h"
#include "session/ExitStatus.h"

#include <chrono>
#include <cmath>
#include <cstdio>

namespace qd::run {

using control::formatCode;
using control::formatNumber;
using measure::Response;
using measure::SweepRow;
using measure::SweepSummary;

std::string csvHeader() {
    return "code,frame,expected_v,measured_v,error_mv,error_counts,measured_counts\n";
}

std::string csvRow(const measure::SweepRow& row) {
    return formatCode(row.code) + "," + formatCode(row.frame) + "," +
           formatNumber(row.expectedVolts) + "," + board::readingVoltsText(row.measuredCounts) +
           "," + formatNumber(row.errorMillivolts()) + "," + std::to_string(row.errorCounts()) +
           "," + std::to_string(row.measuredCounts) + "\n";
}

namespace {

// Readings that do not follow the codes are said to be what they are: a
// flat line is no monotonic converter.
std::string monotonicText(const SweepSummary& s) {
    switch (s.response) {
    case Response::Flat:
        return "no: the reading stays at " + std::to_string(s.flatCounts) +
               " counts whatever the code";
    case Response::Falling:
        return "no: the reading falls as the code rises";
    case Response::Follows:
        break;
    }
    return s.monotonic ? "yes" : "no";
}

// The figures as the results store keeps them.
std::vector<results::Figure> storedFigures(const SweepSummary& m) {
    results::Figure largest =
        figureOf("largest_deviation_counts", m.largestDeviationCounts, "counts");
    largest.code = m.largestDeviationCode;
    results::Figure monotonic = figureOf("monotonic", m.monotonic ? 1 : 0, "");
    monotonic.text = m.monotonic ? "yes" : "no";
    return {figureOf("offset_counts", m.offsetCounts, "counts"),
            figureOf(measure::kGainError.name, m.gainErrorPercent, measure::kGainError.unit),
            largest, monotonic};
}

// A code's row: what the measuring converter read against what it would
// read of an ideal converter, the same for a sweep measured and one read
// back from the store.
SweepRow sweepRowOf(std::int32_t code, std::int32_t frame, double counts, int bits, double vref,
                    std::int16_t mode) {
    SweepRow row;
    row.code = code;
    row.frame = frame;
    row.measuredCounts = static_cast<std::int32_t>(counts);
    row.measuredVolts = board::readingVolts(row.measuredCounts);
    row.expectedVolts = measure::expectedVolts(code, bits, vref, mode);
    row.expectedCounts = measure::expectedCounts(code, bits, vref, mode);
    return row;
}

} // namespace

std::vector<std::string> sweepSummaryLines(const SweepResult& r) {
    const SweepSummary& s = r.summary;
    char text[200];
    std::vector<std::string> lines;
    const auto add = [&] { lines.emplace_back(text); };
    // A figure that rounds to nothing at three decimals is "0.000", not
    // "-0.000".
    const auto shown = [](double value) { return std::fabs(value) < 0.0005 ? 0.0 : value; };
    std::snprintf(text, sizeof text, "points             %zu%s", s.points,
                  r.signal != 0 ? " (interrupted)" : "");
    add();
    std::snprintf(text, sizeof text, "offset error       %.3f counts (%.3f mV)",
                  shown(s.offsetCounts), shown(s.offsetMillivolts()));
    add();
    std::snprintf(text, sizeof text, "gain error         %.3f %%", shown(s.gainErrorPercent));
    add();
    std::snprintf(text, sizeof text, "largest deviation  %d counts (%.3f mV) at code %s",
                  s.largestDeviationCounts, shown(s.largestDeviationMillivolts()),
                  formatCode(s.largestDeviationCode).c_str());
    add();
    lines.push_back("monotonic          " + monotonicText(s));
    if (s.toleranceCounts) {
        std::snprintf(
            text, sizeof text, "tolerance          %g counts: %s", *s.toleranceCounts,
            s.pointsBeyondTolerance == 0
                ? "every point within it"
                : (std::to_string(s.pointsBeyondTolerance) + " points beyond it").c_str());
        add();
    }
    return lines;
}

report::ReportData storedSweepPicture(const results::Run& run,
                                      const std::vector<results::Reading>& readings) {
    session::DeviceChoice choice{run.get("device"), run.get("power_mode")};
    const control::DeviceProfile& device = choice.deviceProfile();
    const double vref = std::stod(run.get("reference_v").empty() ? "4.93" : run.get("reference_v"));
    std::optional<double> tolerance;
    if (const std::string limits = run.get("limits"); limits.starts_with("tolerance ")) {
        try {
            tolerance = std::stod(limits.substr(10));
        } catch (const std::exception&) {
            tolerance.reset(); // another tool's text: the picture without it
        }
    }
    // The range asked for ("0000 to FFFF step 0100"), else the codes read.
    std::int32_t from = 0, to = 0;
    unsigned first = 0, last = 0, step = 0;
    if (std::sscanf(run.get("plan").c_str(), "%x to %x step %x", &first, &last, &step) == 3 &&
        first <= last && last < (1u << device.resolution)) {
        from = static_cast<std::int32_t>(first);
        to = static_cast<std::int32_t>(last);
    } else {
        for (std::size_t i = 0; i < readings.size(); ++i) {
            from = i == 0 ? readings[i].code : std::min(from, readings[i].code);
            to = i == 0 ? readings[i].code : std::max(to, readings[i].code);
        }
    }
    SweepPlot plot(from, to);
    measure::SweepStatistics statistics(tolerance);
    for (const results::Reading& reading : readings) {
        const SweepRow row = sweepRowOf(reading.code, reading.frame, reading.value,
                                        device.resolution, vref, choice.powerMode());
        statistics.add(row);
        plot.add(row);
    }
    SweepResult r;
    r.summary = statistics.summary();
    r.signal = run.get("verdict") == "INTERRUPTED" ? 1 : 0;
    std::vector<std::string> caption = sweepSummaryLines(r);
    const std::string serial = run.get("board_serial");
    caption.push_back("board " + run.get("board") + (serial.empty() ? "" : " (" + serial + ")") +
                      ", " + run.get("started") + ", qdctl " + run.get("qdctl_version") + ", run " +
                      run.id().substr(0, 8));
    return plot.data(choice.device + " " + choice.mode + " sweep", caption);
}

SweepResult sweep(const SweepSetup& o, const session::CommonOptions& common,
                  const Context& context) {
    const control::DeviceProfile& device = o.device.deviceProfile();
    checkOutputPaths(o.csv, o.plot, keptFilesOf(common), common.json);
    std::optional<Renderer> plotter;
    if (!o.plot.empty()) {
        plotter.emplace();
    }
    ResultsFile csv(o.csv, csvHeader());

    auto [session, downloaded] = openRecorded(
        common, o.device, true, context.recording,
        {{"reference_v", control::formatNumber(o.vref)},
         {"reading_unit", "counts"},
         {"plan", control::formatCode(o.from) + " to " + control::formatCode(o.to) + " step " +
                      control::formatCode(o.step)},
         {"limits",
          o.tolerance ? "tolerance " + control::formatNumber(*o.tolerance) + " counts" : ""}});
    const measure::Codes codes = measure::Codes::range(o.from, o.to, o.step);
    SweepPlot plot(o.from, o.to);
    measure::SweepStatistics statistics(o.tolerance);
    const std::shared_ptr<void> stopHeld = context.stopHeld();
    const std::int16_t mode = o.device.powerMode();
    const auto sweepRow = [&](const measure::Row& measured) {
        const SweepRow row = sweepRowOf(measured.code, measured.frame, measured.values.front(),
                                        device.resolution, o.vref, mode);
        csv.write(csvRow(row));
        statistics.add(row);
        if (plotter) {
            plot.add(row);
        }
    };
    const measure::LoopOutcome outcome = runWatched(
        codes, programOn(*session),
        [board = session.get()](int) {
            return std::vector<double>{static_cast<double>(board->read().counts)};
        },
        {sweepRow, context.recording.sink()}, {}, context);
    endLoop(outcome, codes.size(), &csv, context);
    csv.commit();

    SweepResult r;
    r.device = o.device.device;
    r.mode = o.device.mode;
    r.summary = statistics.summary();
    r.csv = o.csv;
    r.plot = o.plot;
    r.downloaded = downloaded;
    r.clamped = o.clamped;
    r.signal = context.stop();
    r.seconds = outcome.seconds;
    context.recording.conclude(r.summary.pass() ? "PASS" : "FAIL", storedFigures(r.summary));
    const double inLibrary =
        std::chrono::duration<double>(session->binding().timeInLibrary).count();
    r.shareOutsideLibrary = r.seconds > 0 ? 1.0 - inLibrary / r.seconds : 0;
    if (plotter) {
        // A picture passed on alone says which board, when and by what.
        const session::BoardFields listed =
            session::listedBoard(session->binding(), session->board());
        const std::string serial = session::fieldOf(listed, "serial");
        std::vector<std::string> caption = sweepSummaryLines(r);
        caption.push_back("board " + session::boardIdentifier(listed, session->board()) +
                          (serial.empty() ? "" : " (" + serial + ")") + ", " + localNow() +
                          ", qdctl " + QDCTL_VERSION);
        r.plotSeconds =
            plotter->write(plot.data(o.device.device + " " + o.device.mode + " sweep", caption),
                           o.plot, plotFormat(o.plot), true);
    }
    return r;
}

} // namespace qd::run

#include "run/CharacterizeReport.h"

#include "control/DataWord.h"
#include "measure/FigureKinds.h"
#include "measure/Plan.h"
#include "run/Characterize.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "run/SweepPlot.h"
#include "session/ExitStatus.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <tuple>

namespace qd::run {

using session::BadArguments;
using session::Failure;

using control::formatCode;
using control::formatNumber;

namespace {

std::string printed(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value + 0.0);
    return text;
}

// A value to the decimals its uncertainty's two significant digits have.
std::pair<std::string, std::string> withUncertainty(double value, std::optional<double> u) {
    if (!u || !(*u > 0)) {
        return {printed("%.4g", value), ""};
    }
    const int decimals = std::clamp(1 - static_cast<int>(std::floor(std::log10(*u))), 0, 9);
    char v[64], w[64];
    // A value that rounds to nothing has no sign: "0.0", never "-0.0".
    const double shown = std::fabs(value) < 0.5 * std::pow(10.0, -decimals) ? 0.0 : value;
    std::snprintf(v, sizeof v, shown == 0.0 ? "%.*f" : "%+.*f", decimals, shown);
    std::snprintf(w, sizeof w, "± %.*f", decimals, *u);
    return {v, w};
}

std::string limitText(const std::optional<measure::Limit>& limit) {
    if (!limit) {
        return "";
    }
    return limit->size ? "≤ " + formatNumber(limit->high)
                       : formatNumber(limit->low) + " to " + formatNumber(limit->high);
}

std::string statusOf(const std::optional<measure::Limit>& limit, const measure::Figure& figure) {
    if (!limit) {
        return "";
    }
    switch (measure::decide(*limit, figure)) {
    case measure::Decision::Fail:
        return "FAIL";
    case measure::Decision::Conditional:
        return "CONDITIONAL";
    case measure::Decision::Pass:
        break;
    }
    return "pass";
}

// The serial field of an *IDN? answer (maker, model, serial, firmware).
std::string meterSerialOf(const std::string& identity) {
    std::size_t at = 0;
    for (int field = 0; field < 2; ++field) {
        at = identity.find(',', at);
        if (at == std::string::npos) {
            return {};
        }
        ++at;
    }
    const std::string serial = identity.substr(at, identity.find(',', at) - at);
    const auto first = serial.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : serial.substr(first);
}

} // namespace

std::vector<results::Figure> storedFigures(const CharacterizeResult& r) {
    std::vector<results::Figure> stored;
    if (!r.figures) {
        return stored;
    }
    const measure::Figures& f = *r.figures;
    const measure::Limits& limits = r.limits;
    const auto add = [&](const char* name, const measure::Figure& figure, const char* unit,
                         const std::optional<measure::Limit>& limit,
                         std::optional<std::int32_t> code = std::nullopt) {
        results::Figure s;
        s.name = name;
        s.value = figure.value;
        s.uncertainty = figure.uncertainty;
        s.unit = unit;
        s.code = code;
        if (limit) {
            s.limit = limit->size ? formatNumber(limit->high)
                                  : formatNumber(limit->low) + ".." + formatNumber(limit->high);
        }
        stored.push_back(std::move(s));
    };
    using namespace measure;
    add(kZeroCodeError.name, f.zeroCode, kZeroCodeError.unit, limits.zero);
    add(kFullScaleError.name, f.fullScale, kFullScaleError.unit, limits.fullScale);
    add(kOffsetError.name, f.offset, kOffsetError.unit, limits.offset);
    add(kGainError.name, f.gain, kGainError.unit, limits.gain);
    results::Figure monotonic;
    monotonic.name = "monotonic";
    monotonic.text = measure::monotonicWord(f.monotonic);
    stored.push_back(monotonic);
    if (f.response != measure::Response::Follows) {
        return stored;
    }
    for (const auto& [kind, span, limit] :
         {std::tuple{&kInlBestFit, &f.inlBestFit, &limits.inl},
          std::tuple{&kInlEndpoint, &f.inlEndpoint, &limits.inlEndpoint},
          std::tuple{&kDnl, &f.dnl, &limits.dnl}}) {
        if (kind == &kDnl && f.steps.empty()) {
            continue;
        }
        const std::string name = kind->name;
        add((name + "_min").c_str(), span->min, kind->unit, *limit, span->min.code);
        add((name + "_max").c_str(), span->max, kind->unit, *limit, span->max.code);
    }
    add(kSmallestStep.name, f.smallestStep, kSmallestStep.unit, std::nullopt, f.smallestStep.code);
    return stored;
}

std::vector<report::FigureRow> figureRows(const CharacterizeResult& r) {
    std::vector<report::FigureRow> rows;
    if (!r.figures) {
        return rows;
    }
    const measure::Figures& f = *r.figures;
    const measure::Limits& limits = r.limits;
    const auto add = [&](const std::string& name, const measure::Figure& figure, const char* unit,
                         const std::optional<measure::Limit>& limit, std::string where = {}) {
        const auto [value, u] = withUncertainty(figure.value, figure.uncertainty);
        rows.push_back(
            {name, value, u, unit, std::move(where), limitText(limit), statusOf(limit, figure)});
    };
    // A per-code figure as a datasheet gives it: its least and largest value.
    const auto addSpan = [&](const char* name, const measure::Span& span,
                             const std::optional<measure::Limit>& limit, bool steps) {
        const auto where = [steps](std::int32_t code) {
            return steps ? "step " + formatCode(code) + " to " + formatCode(code + 1)
                         : "at code " + formatCode(code);
        };
        add(name + std::string(", min"), span.min, "LSB", limit, where(span.min.code));
        add(name + std::string(", max"), span.max, "LSB", limit, where(span.max.code));
    };
    add("Zero-code error", f.zeroCode, "mV", limits.zero);
    add("Full-scale error", f.fullScale, "% FS", limits.fullScale);
    add("Offset error", f.offset, "mV", limits.offset);
    add("Gain error", f.gain, "% FS", limits.gain);
    if (f.response != measure::Response::Follows) {
        rows.push_back({"Monotonic", measure::monotonicWord(f.monotonic), "", "",
                        std::string("the output is ") + measure::responseWord(f.response) +
                            ": no INL, DNL or steps to measure",
                        "", "FAIL"});
        return rows;
    }
    addSpan("INL, best fit", f.inlBestFit, limits.inl, false);
    addSpan("INL, endpoint", f.inlEndpoint, limits.inlEndpoint, false);
    if (f.steps.empty()) {
        rows.push_back({"DNL", "not measured", "", "", "the plan has no neighbouring codes",
                        limitText(limits.dnl), limits.dnl ? "FAIL" : ""});
    } else {
        addSpan("DNL", f.dnl, limits.dnl, true);
    }
    const auto [step, u] = withUncertainty(f.smallestStep.value, f.smallestStep.uncertainty);
    rows.push_back({"Monotonic", measure::monotonicWord(f.monotonic), "", "",
                    "smallest step " + step + (u.empty() ? "" : " " + u) + " LSB from code " +
                        formatCode(f.smallestStep.code),
                    "",
                    f.monotonic == measure::Monotonic::Yes           ? "pass"
                    : f.monotonic == measure::Monotonic::NotMeasured ? ""
                                                                     : "FAIL"});
    for (const auto& note : f.notes) {
        rows.push_back({"Rails", "", "", "", note, "", ""});
    }
    return rows;
}

std::string verdictName(const CharacterizeResult& r) {
    if (r.interrupted()) {
        return "INTERRUPTED";
    }
    return measure::decisionWord(r.verdict.decision);
}

std::vector<std::string> reportNotes(const CharacterizeResult& r) {
    std::vector<std::string> notes;
    // An output that does not follow the codes has no LSB to speak in; its
    // row says so.
    if (!r.figures || r.figures->response != measure::Response::Follows) {
        return notes;
    }
    const measure::Figures& f = *r.figures;
    const measure::FitRange fit = measure::fitRange(r.bits);
    notes.push_back("INL and DNL over the fit range, codes " + formatCode(fit.first) + " to " +
                    formatCode(fit.last) +
                    " (2^N/128 to 127·2^N/128), which keeps the output's "
                    "rails out; offset and gain error from the line through its ends. LSB: " +
                    printed("%.4g", f.lsbVolts * 1e6) + " µV (best-fit line), ideal " +
                    printed("%.4g", f.idealLsbVolts * 1e6) + " µV.");
    notes.push_back("Uncertainties are expanded, about 95 %: " + printed("%g", f.singleCoverage) +
                    " standard uncertainties. The most negative and most positive INL and DNL, "
                    "and the smallest step, are estimates of the true extremes: what the noise "
                    "is expected to add to the largest of the codes near them is taken off.");
    if (f.noiseVolts) {
        notes.push_back("Noise of one reading (the samples' spread, pooled over all codes): " +
                        printed("%.3g", *f.noiseVolts * 1e6) + " µV rms, " +
                        printed("%.2g", *f.noiseVolts / f.lsbVolts) + " LSB.");
    } else if (r.meter.empty()) {
        notes.push_back("One sample per code: the uncertainties come from the converter's "
                        "resolution alone.");
    } else {
        notes.push_back("One sample per code: no spread to tell the uncertainties from; take "
                        "--samples 2 or more.");
    }
    if (r.meter.empty()) {
        notes.push_back("Measured with the board's own 12-bit converter, which resolves " +
                        printed("%.2f", board::readingVolts(1) * 1000) + " mV, " +
                        printed("%.3g", board::readingVolts(1) / f.idealLsbVolts) +
                        " LSB of this converter: INL and DNL finer than that cannot be seen. "
                        "Measure them with a bench DMM (--meter).");
    }
    if (!r.limits.text().empty()) {
        notes.push_back(measure::decisionRuleText());
    }
    if (r.plan != "all") {
        notes.push_back("Plan " + r.plan + ": " + std::to_string(r.measured) + " of " +
                        std::to_string(std::size_t{1} << r.bits) + " codes; DNL over the " +
                        std::to_string(f.steps.size()) +
                        " single-code steps measured; monotonicity is shown only when every "
                        "step of the fit range is measured (--codes all).");
    }
    return notes;
}

namespace {

// Why the verdict is what it is, in the words of the banner.
std::string reasonsOf(const CharacterizeResult& r) {
    std::string reasons;
    if (r.interrupted()) {
        reasons = r.endMessage.empty() ? "ended by a signal after " + std::to_string(r.measured) +
                                             " of " + std::to_string(r.planned) + " codes"
                                       : r.endMessage;
        reasons +=
            r.figures ? ": the figures of the codes measured" : ": too few codes for figures";
    } else if (r.verdict.decision == measure::Decision::Conditional) {
        reasons = verdictName(r) + (r.verdict.pass ? ", accepted" : "");
    }
    std::string lines;
    for (const auto* list : {&r.verdict.failures, &r.verdict.conditional}) {
        for (const auto& line : *list) {
            lines += (lines.empty() ? "" : "; ") + line;
        }
    }
    if (reasons.empty() || lines.empty()) {
        return reasons + lines;
    }
    return reasons + (r.interrupted() ? "; " : ": ") + lines;
}

// How it was measured, a row each, as the report's header gives it.
std::vector<std::pair<std::string, std::string>> setupRows(const CharacterizeResult& r) {
    const auto seconds = static_cast<long>(std::lround(r.seconds));
    const auto orNone = [](const std::string& text) { return text.empty() ? "not given" : text; };
    std::vector<std::pair<std::string, std::string>> setup = {
        {"Device", r.device + " (" + std::to_string(r.bits) + " bits)"},
        {"Unit (DUT serial)", orNone(r.serial)},
        {"Operator", orNone(r.operatorName)},
        {"Temperature", orNone(r.temperature)},
        {"Board", r.board.empty() ? "not recorded" : r.board},
        {"Meter", r.meterIdentity},
        {"Meter serial", orNone(meterSerialOf(r.meterIdentity))},
        {"Meter calibrated",
         r.meter.empty() ? "none: on-board converter" : orNone(r.meterCalibration)},
        {"Meter resource", r.meter.empty() ? "none: on-board converter" : r.meter},
        {"Meter set up as",
         r.meterFamily + ", DC volts, " +
             (r.meterRangeVolts > 0 ? printed("%g", r.meterRangeVolts) + " V range"
                                    : std::string("range not recorded")) +
             ", auto-zero"},
        {"NPLC", printed("%g", r.nplc)},
        {"Samples per code", std::to_string(r.samples)},
        {"Settling", printed("%g", r.settleMs) + " ms"},
        {"Codes", r.plan + ": " + std::to_string(r.measured) + " of " + std::to_string(r.planned) +
                      " measured" +
                      (r.resumed ? ", " + std::to_string(r.resumed) + " of them resumed" : "")},
        {"Reference", printed("%g", r.referenceVolts) + " V"},
        {"Limits", r.limits.text().empty() ? "none" : measure::readableLimits(r.limits.text())},
        {"Date", r.date},
    };
    if (r.from.empty() || r.seconds > 0) {
        setup.emplace_back("Duration", std::to_string(seconds / 60) + " min " +
                                           std::to_string(seconds % 60) + " s");
    }
    if (!r.note.empty()) {
        setup.emplace_back("Note", r.note);
    }
    if (!r.station.empty()) {
        setup.emplace_back("Station", "slot " + r.slot + " of station " + r.station.substr(0, 8));
    }
    setup.emplace_back("Readings", r.csv.empty() ? "not kept (no --csv)" : r.csv);
    setup.emplace_back("Made by", "qdctl " + r.version + ": " + r.commandLine);
    return setup;
}

// Where a run cut short left planned codes unmeasured between two it
// measured.
std::vector<std::pair<double, double>> gapsOf(const CharacterizeResult& r) {
    std::vector<std::pair<double, double>> gaps;
    const auto plan = measure::Plan::parse(r.plan.empty() ? "fast" : r.plan);
    if (r.measured >= r.planned || !plan || !r.figures) {
        return gaps;
    }
    std::vector<std::int32_t> planned = measure::planCodes(r.bits, *plan);
    std::sort(planned.begin(), planned.end());
    const auto& codes = r.figures->codes;
    for (std::size_t i = 1; i < codes.size(); ++i) {
        const auto a = codes[i - 1].code, b = codes[i].code;
        const auto inside = std::upper_bound(planned.begin(), planned.end(), a);
        if (inside != planned.end() && *inside < b) {
            gaps.emplace_back(a, b);
        }
    }
    return gaps;
}

// The plots over the whole code range, so that the fit range's place in it
// shows: INL and DNL, or the output as measured when there is no line to
// measure errors against.
std::vector<report::PlotData> plotsOf(const CharacterizeResult& r) {
    const std::int32_t from = 0, to = (std::int32_t{1} << r.bits) - 1;
    if (!r.figures || r.figures->response != measure::Response::Follows) {
        ColumnReducer output(from, to, report::kPlotWidth);
        for (const auto& [code, volts] : r.output) {
            output.add(code, volts);
        }
        report::PlotData plot = report::plotOf("Output", "V", from, to, output.points());
        plot.name = "measured";
        plot.symmetric = false;
        return {std::move(plot)};
    }
    ColumnReducer bestFit(from, to, report::kPlotWidth);
    ColumnReducer endpoint(from, to, report::kPlotWidth);
    ColumnReducer dnl(from, to, report::kPlotWidth);
    for (const auto& c : r.figures->codes) {
        bestFit.add(c.code, c.inlBestFit);
        endpoint.add(c.code, c.inlEndpoint);
    }
    for (const auto& s : r.figures->steps) {
        dnl.add(s.code, s.dnl);
    }
    report::PlotData inl = report::plotOf("INL", "LSB", from, to, bestFit.points());
    inl.name = "best fit";
    inl.secondName = "endpoint";
    inl.second = endpoint.points();
    inl.gaps = gapsOf(r);
    report::PlotData steps = report::plotOf("DNL", "LSB", from, to, dnl.points());
    steps.name = "DNL";
    steps.stems = true;
    for (const auto& [plot, limit] :
         {std::pair{&inl, r.limits.inl}, std::pair{&steps, r.limits.dnl}}) {
        if (limit) {
            plot->limits = {limit->high, limit->low};
        }
    }
    return {std::move(inl), std::move(steps)};
}

} // namespace

report::ReportData reportDataOf(const CharacterizeResult& r) {
    report::ReportData d;
    d.title = r.device + " characterization";
    d.verdict = verdictName(r);
    d.reasons = reasonsOf(r);
    d.setup = setupRows(r);
    d.footer = r.device + (r.serial.empty() ? "" : " unit " + r.serial) + ", " + r.date +
               ", qdctl " + r.version;
    d.figures = figureRows(r);
    d.notes = reportNotes(r);
    d.plots = plotsOf(r);
    return d;
}

namespace {

std::string reportFormat(const std::string& path) {
    const std::string extension = extensionOf(path);
    if (extension == ".html" || extension == ".htm") {
        return "html";
    }
    return extension == ".pdf" ? "pdf" : "";
}

} // namespace

void checkReportPath(const std::string& report, const std::string& csv, const std::string& plot,
                     const KeptFiles& kept) {
    if (report.empty()) {
        return;
    }
    if (reportFormat(report).empty()) {
        throw Failure(BadArguments, "--report " + report +
                                        ": name a .html or .pdf file; the extension says which "
                                        "is written");
    }
    checkOutputFile("--report", report, kept, {{"--csv", &csv}, {"--plot", &plot}});
    checkWritable(report, "the report");
}

void writeCharacterization(const Renderer& renderer, const CharacterizeResult& result,
                           const std::string& plot, const std::string& report) {
    const report::ReportData data = reportDataOf(result);
    if (!plot.empty()) {
        renderer.write(data, plot, plotFormat(plot), true);
    }
    if (!report.empty()) {
        renderer.write(data, report, reportFormat(report), false);
    }
}

} // namespace qd::run

// A dynamic run as a person reads it: the lines qdctl prints and the
// report's page with its waveform, the band and the settling point marked.

#include "control/DataWord.h"
#include "measure/FigureKinds.h"
#include "run/Dynamic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qd::run {

namespace {

std::string printed(const char* format, double value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The value to the place of its uncertainty's second significant digit.
std::pair<std::string, std::string> valueAndUncertainty(double value, std::optional<double> u) {
    int decimals = 3;
    if (u && *u > 0) {
        decimals = std::clamp(1 - static_cast<int>(std::floor(std::log10(*u))), 0, 9);
    }
    char text[48];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    std::string shown = text;
    if (shown.find_first_not_of("-0.") == std::string::npos) {
        shown.erase(0, shown.starts_with('-') ? 1 : 0); // nothing has no sign
    }
    std::string uncertainty;
    if (u) {
        std::snprintf(text, sizeof text, "± %.*f", decimals, *u);
        uncertainty = text;
    }
    return {shown, uncertainty};
}

std::string stepText(const DynamicResult& r) {
    return control::formatCode(r.fromCode) + " to " + control::formatCode(r.toCode);
}

std::string title(const DynamicResult& r) {
    return r.device + (r.kind == DynamicKind::Settle ? " settling time" : " glitch impulse");
}

std::string verdictWord(const DynamicResult& r) {
    if (r.signal != 0) {
        return "INTERRUPTED";
    }
    return r.resolved ? measure::decisionWord(r.verdict.decision) : "NOT RESOLVED";
}

std::string scopeText(const measure::ScopeSetup& c) {
    std::string text = c.identity.empty() ? "not recorded" : c.identity;
    text += ", " + std::to_string(c.adcBits) + "-bit";
    if (c.bandwidthHz > 0) {
        text += ", " + printed("%g MHz", c.bandwidthHz / 1e6);
    }
    return text;
}

std::string methodText(const measure::ScopeSetup& c) {
    return printed("%g mV/div", c.voltsPerDivision * 1e3) + " centred on " +
           printed("%.4f V", c.offsetVolts) + ", " +
           printed("%g ns a sample", c.sampleIntervalSeconds * 1e9) + ", " +
           std::to_string(c.points) + " points, " + std::to_string(c.averages) +
           (c.averages == 1 ? " acquisition" : " averages");
}

// A record's points as a plot takes them: microseconds after the update,
// and volts or millivolts from `centre`; those in the span the scope was
// overdriven left out, with a gap there.
report::Points plotted(const StoredRecord& record, double centre, double scale,
                       const DynamicResult& r, bool dropDiscarded) {
    report::Points points;
    for (const auto& [t, v] : record.points) {
        if (dropDiscarded && t > r.discardedFrom && t < r.discardedTo) {
            continue;
        }
        points.emplace_back(t * 1e6, (v - centre) * scale);
    }
    return points;
}

const StoredRecord* recordNamed(const DynamicResult& r, const std::string& name) {
    for (const StoredRecord& record : r.records) {
        if (record.name == name) {
            return &record;
        }
    }
    return nullptr;
}

report::PlotData waveformPlot(std::string name, std::string yLabel, report::Points points) {
    report::PlotData plot;
    plot.title = std::move(name);
    plot.yLabel = std::move(yLabel);
    plot.decimalX = true;
    plot.xName = "µs after the update";
    plot.symmetric = false;
    if (!points.empty()) {
        plot.fromCode = points.front().first;
        plot.toCode = points.back().first;
    }
    plot.points = std::move(points);
    return plot;
}

std::vector<report::PlotData> settlingPlots(const DynamicResult& r) {
    std::vector<report::PlotData> plots;
    const std::string settled =
        r.resolved ? "settled at " + printed("%.3g µs", r.markSeconds * 1e6) : "";
    if (const StoredRecord* coarse = recordNamed(r, "coarse")) {
        report::PlotData plot =
            waveformPlot("Step " + stepText(r), "V", plotted(*coarse, 0, 1, r, false));
        plot.name = "output";
        if (r.resolved) {
            plot.xLimits = {r.markSeconds * 1e6};
            plot.limitName = settled;
        }
        plots.push_back(std::move(plot));
    }
    if (const StoredRecord* fine = recordNamed(r, "fine")) {
        report::PlotData plot = waveformPlot("Settling, to " + printed("%.5f V", r.centreVolts),
                                             "mV", plotted(*fine, r.centreVolts, 1e3, r, true));
        plot.name = "output − final value";
        plot.limits = {r.bandVolts * 1e3, -r.bandVolts * 1e3};
        if (r.discardedTo > r.discardedFrom) {
            plot.gaps = {{r.discardedFrom * 1e6, r.discardedTo * 1e6}};
        }
        if (r.resolved) {
            plot.xLimits = {r.markSeconds * 1e6};
        }
        plot.limitName = "band " + r.bandText + (settled.empty() ? "" : "; " + settled);
        // The band is what the plot is about: the output far from it is
        // held at ten bands, as a scope's screen holds what is off it.
        const double edge = 10 * r.bandVolts * 1e3;
        for (auto& point : plot.points) {
            point.second = std::clamp(point.second, -edge, edge);
        }
        plot.symmetric = true;
        plot.smallestScale = 2 * r.bandVolts * 1e3;
        plots.push_back(std::move(plot));
    }
    return plots;
}

std::vector<report::PlotData> glitchPlots(const DynamicResult& r) {
    const StoredRecord* record = recordNamed(r, "glitch");
    if (!record) {
        return {};
    }
    report::PlotData plot = waveformPlot("Transition " + stepText(r), "mV",
                                         plotted(*record, r.centreVolts, 1e3, r, false));
    plot.name = "output − level after";
    if (const StoredRecord* reference = recordNamed(r, "reference")) {
        plot.second =
            plotted(*reference, reference->points.empty() ? 0 : reference->points.back().second,
                    1e3, r, false);
        plot.secondName = "one code below, no carry";
    }
    plot.xLimits = {r.discardedFrom * 1e6, r.discardedTo * 1e6};
    plot.limitName = "area's window";
    plot.symmetric = true;
    return {plot};
}

std::vector<report::FigureRow> figureRows(const DynamicResult& r) {
    std::vector<report::FigureRow> rows;
    for (const measure::KindFigure& f : r.figures) {
        const auto [value, u] = valueAndUncertainty(f.figure.value, f.figure.uncertainty);
        const std::optional<measure::Limit> limit = dynamicLimit(r.limits, *f.kind);
        report::FigureRow row{f.kind->heading,         value, u, f.kind->unit, "",
                              dynamicLimitText(limit), ""};
        if (limit) {
            row.status = measure::decide(*limit, f.figure) == measure::Decision::Pass
                             ? "pass"
                             : measure::decisionWord(measure::decide(*limit, f.figure));
        }
        rows.push_back(row);
    }
    return rows;
}

std::vector<std::pair<std::string, std::string>> setupRows(const DynamicResult& r) {
    std::vector<std::pair<std::string, std::string>> rows = {
        {"Step", stepText(r) + (r.kind == DynamicKind::Settle ? ", band " + r.bandText : "")},
        {"Board", r.board + (r.boardSerial.empty() ? "" : " (" + r.boardSerial + ")")},
        {"Scope", scopeText(r.scope) + ", " + r.scopeResource},
        {"Scope calibrated",
         r.scope.calibrationDate.empty() ? "not told" : r.scope.calibrationDate},
        {"Record", methodText(r.scope)},
        {"Date", r.date + ", " + printed("%.1f s", r.seconds)},
        {"Made by", r.commandLine + " (qdctl " + r.version + ")"},
    };
    for (const auto& [label, value] : {std::pair{"Unit", r.serial},
                                       {"Operator", r.operatorName},
                                       {"Temperature", r.temperature},
                                       {"Note", r.note}}) {
        if (!value.empty()) {
            rows.emplace_back(label, value);
        }
    }
    return rows;
}

} // namespace

std::vector<std::string> dynamicSummaryLines(const DynamicResult& r) {
    std::vector<std::string> lines;
    if (r.signal != 0) {
        lines.push_back("interrupted before its records were taken");
        return lines;
    }
    if (!r.resolved) {
        lines.push_back("not resolved: " + r.why);
        return lines;
    }
    for (const measure::KindFigure& f : r.figures) {
        const auto [value, u] = valueAndUncertainty(f.figure.value, f.figure.uncertainty);
        std::string line = f.kind->inMessage;
        line.resize(std::max<std::size_t>(line.size() + 1, 31), ' ');
        lines.push_back(line + value + " " + u + " " + f.kind->unit);
    }
    lines.push_back("verdict                        " + verdictWord(r));
    for (const std::string& failure : r.verdict.failures) {
        lines.push_back("  " + failure);
    }
    for (const std::string& conditional : r.verdict.conditional) {
        lines.push_back("  " + conditional);
    }
    return lines;
}

report::ReportData dynamicReport(const DynamicResult& r) {
    report::ReportData data;
    data.title = title(r);
    data.verdict = verdictWord(r);
    data.reasons = !r.resolved ? r.why : "";
    data.setup = setupRows(r);
    data.figures = figureRows(r);
    data.plots = r.kind == DynamicKind::Settle ? settlingPlots(r) : glitchPlots(r);
    for (std::size_t i = 0; i < r.figures.size() && i < r.budgets.size(); ++i) {
        std::string budget =
            std::string(r.figures[i].kind->heading) + ", its standard uncertainties:";
        for (const measure::UncertaintyPart& part : r.budgets[i]) {
            budget += " " + part.name + " " + printed("%.2g", part.standard) + ";";
        }
        budget.back() = '.';
        data.notes.push_back(budget + " U = 2u.");
    }
    data.notes.insert(data.notes.end(), r.notes.begin(), r.notes.end());
    if (r.kind == DynamicKind::Settle) {
        data.notes.push_back("The settling plot holds the output within ten bands of its final "
                             "value; the samples taken while the scope was overdriven are left "
                             "out.");
    }
    data.notes.push_back(measure::decisionRuleText());
    data.footer =
        title(r) + (r.runId.empty() ? "" : ", run " + r.runId.substr(0, 8)) + ", " + r.date;
    return data;
}

} // namespace qd::run

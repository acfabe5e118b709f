#pragma once

// What qdctl hands its report module: the texts already worded and each
// plot's series already reduced to a minimum and a maximum per column, so
// that the module only lays out and draws. Shared by qdctl and the module,
// which are built together.

#include <string>
#include <utility>
#include <vector>

namespace qd::report {

using Points = std::vector<std::pair<double, double>>; // (code, value) in drawing order

struct FigureRow {
    std::string name;
    std::string value;       // with its sign, in `unit`
    std::string uncertainty; // "± 0.012", or "" when not known
    std::string unit;
    std::string where;  // "at code 8000", or ""
    std::string limit;  // "≤ 2", or ""
    std::string status; // "pass", "FAIL" or ""
};

struct PlotData {
    std::string title;  // "Best-fit INL"
    std::string yLabel; // "LSB"
    double fromCode = 0, toCode = 0;
    Points points;
    // Each point a stem from 0, as a datasheet draws DNL: steps that were
    // not measured are not joined across.
    bool stems = false;
    // A second series drawn thinner (the endpoint INL beside the best fit).
    std::string secondName;
    Points second;
    std::string name; // of `points`, in the legend; no legend entry when empty
    // More series drawn thin under the others (every unit of a lot), with
    // one legend entry for all of them.
    std::vector<Points> others;
    std::string othersName;
    // The x axis holds numbers (a unit's number, a figure's value), not
    // codes: labelled in decimal at round steps.
    bool decimalX = false;
    std::string xName = "code"; // under the x axis
    // Horizontal lines at the limits a figure is judged by (+2 and -2 for an
    // INL limit of 2), drawn dashed with a "limit" legend entry; the scale
    // holds them.
    std::vector<double> limits;
    // Codes never measured (a run cut short), each as the measured codes
    // either side of them: the lines are not drawn across them, as if the
    // output there were known.
    std::vector<std::pair<double, double>> gaps;
    // Vertical lines at limits on the x axis (a histogram of a figure's
    // values), drawn as `limits` are; the axis holds them.
    std::vector<double> xLimits;
    // The legend's words for those lines; empty: "limit". A waveform's band
    // and settling point are no limits.
    std::string limitName;
    // Each point a filled bar this wide (in x's units) from 0, as a
    // histogram or a value per unit is drawn; 0: no bars.
    double bars = 0;
    // The values are counts: ticks at whole numbers only.
    bool counts = false;
    // Names for x = 1, 2, ... (units by their serials) instead of numbers.
    std::vector<std::string> xLabels;
    // Errors are drawn on a scale symmetric around 0; an output, from its
    // smallest to its largest value.
    bool symmetric = true;
    // The least the scale spans (on each side of 0 when symmetric), so that
    // a plot of nothing but zeros still has a readable scale: 1 for counts.
    double smallestScale = 1e-3;
};

// A plot of one series from `fromCode` to `toCode`; the rest as defaults.
inline PlotData plotOf(std::string title, std::string yLabel, double fromCode, double toCode,
                       Points points) {
    PlotData plot;
    plot.title = std::move(title);
    plot.yLabel = std::move(yLabel);
    plot.fromCode = fromCode;
    plot.toCode = toCode;
    plot.points = std::move(points);
    return plot;
}

struct ReportData {
    std::string title; // "QD1600 characterization"
    // "PASS" (drawn green), "FAIL", "CONDITIONAL" or "INTERRUPTED".
    std::string verdict = "PASS";
    std::string reasons;                                    // why it failed, or ""
    std::vector<std::pair<std::string, std::string>> setup; // label, value
    std::vector<FigureRow> figures;
    // The figures table's column headings; empty: Figure, Value,
    // Uncertainty, Unit, where, Limit, status.
    std::vector<std::string> headings;
    std::vector<std::string> notes;
    std::vector<PlotData> plots; // INL, then DNL
    // Lines under the plots when they are drawn alone (a sweep's summary).
    std::vector<std::string> caption;
    // At the foot of every page of a report, before its page number.
    std::string footer;
};

// The size of a picture of plots alone, in pixels (PNG) or points (SVG):
// each plot is kPlotHeight high, the caption's lines kCaptionLine each. A
// series never needs more columns than the picture is wide.
inline constexpr int kPlotWidth = 900;

// The figures table's heading of column `i` (0 to 6).
inline std::string headingOf(const ReportData& data, std::size_t i) {
    static const char* const kDefault[] = {"Figure", "Value", "Uncertainty", "Unit", "",
                                           "Limit",  ""};
    return i < data.headings.size() ? data.headings[i] : kDefault[i];
}
inline constexpr int kPlotHeight = 360;
inline constexpr int kCaptionLine = 18;

// The module's one entry: writes `data` into `path` as `format`: "html" or
// "pdf" for the report's page; "png", "svg" or "pdf" for its plots alone
// (with the caption) when `plotsOnly`; a sweep's plot is such plots alone. False, with the reason
// in `error`, when it cannot.
using WriteReport = bool (*)(const ReportData& data, const std::string& path,
                             const std::string& format, bool plotsOnly, std::string& error);
inline constexpr const char* kWriteReportSymbol = "qdctlWriteReport";
inline constexpr const char* kReportModule = "qdctl-report";

} // namespace qd::report

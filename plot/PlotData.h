#pragma once

// What qdctl hands its plot module: each series already reduced to at most
// a minimum and a maximum per pixel column, so that drawing costs the same
// for 4,096 points as for 65,536. Shared by qdctl and the module, which are
// built together.

#include <string>
#include <utility>
#include <vector>

namespace qd::cli {

struct PlotData {
    std::string title;
    double fromCode = 0, toCode = 0;
    // (code, value) points in drawing order.
    std::vector<std::pair<double, double>> expectedVolts, measuredVolts, errorMillivolts;
};

// The module's one entry: draws `data` into `path` in `format` ("png",
// "svg" or "pdf"). False, with the reason in `error`, when it cannot. The
// seconds spent drawing go to `drawSeconds`.
using DrawSweepPlot = bool (*)(const PlotData& data, const std::string& path,
                               const std::string& format, std::string& error, double& drawSeconds);
inline constexpr const char* kDrawSweepPlotSymbol = "qdctlDrawSweepPlot";
inline constexpr const char* kPlotModule = "qdctl-plot";

// The page the plot is drawn on, in pixels: a series never needs more
// columns than the page is wide.
inline constexpr int kPlotWidth = 900;
inline constexpr int kPlotHeight = 760;

} // namespace qd::cli

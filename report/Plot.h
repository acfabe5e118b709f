#pragma once

// Where a plot's pieces go in its box: the scales, the ticks and their
// labels, the same for every way it is drawn (SVG text, a painter).
// Standard C++ only.

#include "report/ReportData.h"

#include <string>
#include <vector>

namespace qd::report {

struct Box {
    double left = 0, top = 0, width = 0, height = 0;
};

struct Tick {
    double at = 0; // in the drawing's units along its axis
    std::string label;
};

struct PlotFrame {
    Box area; // inside the axes
    double xMin = 0, xMax = 1, yMin = -1, yMax = 1;
    std::vector<Tick> xTicks, yTicks; // the first and the last at the axes' ends
    double zeroY = 0;                 // where 0 lies, or the nearest edge
    bool zeroInside = true;           // whether 0 lies inside

    double x(double code) const;
    double y(double value) const;
};

// The frame of `plot` in `box`, with room for its labels (text of about
// `fontSize` units): a value scale that holds every point, symmetric around
// 0 when the plot asks for it, from a round value to a round value; ticks at
// round steps; codes labelled in hexadecimal as qdctl shows them, the first
// and the last code always.
PlotFrame frameOf(const PlotData& plot, const Box& box, double fontSize);

// One entry of a plot's legend: the series' name, its colour (0xRRGGBB)
// and its line width in font sizes.
struct LegendEntry {
    std::string name;
    unsigned colour = 0;
    double width = 0;
    bool dashed = false; // a limit line
};
std::vector<LegendEntry> legendOf(const PlotData& plot);

// The colours and widths every drawing of a plot uses.
inline constexpr unsigned kFirstColour = 0x1f4e9c, kSecondColour = 0xe08a00,
                          kLimitColour = 0xc62828, kOthersColour = 0x9aa9c4, kBarColour = 0x8fa8d4;
inline constexpr double kFirstWidth = 0.08, kSecondWidth = 0.05, kLimitWidth = 0.06;
inline constexpr const char* kLimitName = "limit";

// The colour of a verdict's badge (0xRRGGBB): green for PASS alone.
unsigned verdictColour(const std::string& verdict);

} // namespace qd::report

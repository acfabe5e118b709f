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
    std::vector<Tick> xTicks, yTicks;
    double zeroY = 0; // where 0 lies, when it lies inside

    double x(double code) const;
    double y(double value) const;
};

// The frame of `plot` in `box`, with room for its labels (text of about
// `fontSize` units): a symmetric value scale around 0 that holds every
// point, ticks at round steps, codes labelled in hexadecimal as qdctl
// shows them.
PlotFrame frameOf(const PlotData& plot, const Box& box, double fontSize);

} // namespace qd::report

#pragma once

// The one surface every plot is drawn on: lines, polylines, stems,
// rectangles, filled or not, and text, in the drawing's units, with text sizes in points.
// Behind it SVG text (Html.cpp) or Qt's painter (a PDF, a PNG, a window),
// so that every way a plot is shown draws the same picture from one
// drawPlot. Standard C++ only.

#include "report/Plot.h"

#include <string>
#include <utility>
#include <vector>

namespace qd::report {

struct Pen {
    unsigned colour = 0; // 0xRRGGBB
    double width = 0;    // in the drawing's units; 0: the finest line the surface draws
    bool dashed = false;
};

enum class Anchor { Start, Middle, End };
// Where a text's `y` is: its baseline, or the middle of its line.
enum class Level { Baseline, Middle };

class Canvas {
  public:
    using Point = std::pair<double, double>;

    virtual ~Canvas() = default;
    virtual void line(Point from, Point to, const Pen& pen) = 0;
    virtual void polyline(const std::vector<Point>& points, const Pen& pen) = 0;
    // A stroke from `baseY` up (or down) to each point.
    virtual void stems(const std::vector<Point>& tops, double baseY, const Pen& pen) = 0;
    virtual void rect(const Box& box, const Pen& pen) = 0;
    // `box` filled with `colour` (0xRRGGBB), no outline.
    virtual void fill(const Box& box, unsigned colour) = 0;
    virtual void text(double x, double y, const std::string& text, Anchor anchor, Level level,
                      double points, unsigned colour) = 0;
    // The width `text` takes at that size, in the drawing's units.
    virtual double textWidth(const std::string& text, double points) = 0;
    // What is drawn until unclip() shows only inside `box`.
    virtual void clip(const Box& box) = 0;
    virtual void unclip() = 0;
};

// Draws `plot` into `box`: its title and legend, the axes with their ticks
// and names, the limits, and every series, with text of about `fontSize`
// points.
void drawPlot(Canvas& canvas, const PlotData& plot, const Box& box, double fontSize);

} // namespace qd::report

#include "report/Plot.h"

#include "report/Canvas.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qd::report {

namespace {

// 1, 2 or 5 times a power of ten, at least `rough`.
double roundStep(double rough) {
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= rough) {
            return m * power;
        }
    }
    return 10 * power;
}

std::string valueLabel(double value, double step) {
    const int decimals = std::clamp(-static_cast<int>(std::floor(std::log10(step))), 0, 6);
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value + 0.0);
    return text;
}

std::string codeLabel(double code) {
    char text[16];
    std::snprintf(text, sizeof text, "%04lX", static_cast<unsigned long>(code));
    return text;
}

} // namespace

double PlotFrame::x(double code) const {
    return area.left + (code - xMin) / (xMax - xMin) * area.width;
}

double PlotFrame::y(double value) const {
    return area.top + (yMax - value) / (yMax - yMin) * area.height;
}

PlotFrame frameOf(const PlotData& plot, const Box& box, double fontSize) {
    PlotFrame f;
    // Above the area, the title's line and the value label's; below it, the
    // code labels' line and the axis name's; right of it, half a code label.
    const double labelWidth = fontSize * 4.5, above = fontSize * 2.6, below = fontSize * 2.8;
    f.area = {box.left + labelWidth, box.top + above, box.width - labelWidth - fontSize * 2,
              box.height - above - below};
    f.xMin = plot.fromCode;
    // A code axis spans a code at least; a value axis whatever it is given.
    f.xMax = plot.decimalX && plot.toCode > plot.fromCode
                 ? plot.toCode
                 : std::max(plot.toCode, plot.fromCode + 1);
    bool any = false;
    double low = 0, high = 0;
    std::vector<const Points*> all = {&plot.points, &plot.second};
    for (const Points& other : plot.others) {
        all.push_back(&other);
    }
    for (const auto* series : all) {
        for (const auto& [code, value] : *series) {
            low = any ? std::min(low, value) : value;
            high = any ? std::max(high, value) : value;
            any = true;
        }
    }
    for (const double limit : plot.limits) {
        low = any ? std::min(low, limit) : limit;
        high = any ? std::max(high, limit) : limit;
        any = true;
    }
    // Bars stand on 0, so 0 is on the scale.
    if (plot.bars > 0) {
        low = std::min(low, 0.0);
        high = std::max(high, 0.0);
    }
    double yStep = 0;
    if (plot.symmetric) {
        const double largest = std::max(std::abs(low), std::abs(high));
        yStep = roundStep(std::max(largest, plot.smallestScale) / 2);
        f.yMax = yStep * std::max(1.0, std::ceil(largest * 1.05 / yStep));
        f.yMin = -f.yMax;
    } else {
        yStep = roundStep(std::max(high - low, plot.smallestScale) / 5);
        if (plot.counts) {
            yStep = std::max(1.0, std::round(yStep));
        }
        f.yMin = std::floor(low / yStep) * yStep;
        f.yMax = std::max(std::ceil(high / yStep) * yStep, f.yMin + yStep);
    }
    // Whole steps from end to end, counted rather than summed, so that the
    // last tick is the scale's end exactly.
    const auto steps = static_cast<int>(std::lround((f.yMax - f.yMin) / yStep));
    for (int i = 0; i <= steps; ++i) {
        const double v = f.yMin + i * yStep;
        f.yTicks.push_back({f.y(v), valueLabel(v, yStep)});
    }
    // Codes are binary: ticks at a power of two read as round hexadecimal.
    // The ends are labelled too; a round tick too near one gives way to it.
    const double xStep =
        plot.decimalX ? roundStep((f.xMax - f.xMin) / 6)
                      : std::exp2(std::ceil(std::log2(std::max(1.0, (f.xMax - f.xMin) / 8))));
    const auto xLabel = [&](double x) {
        return plot.decimalX ? valueLabel(x, xStep) : codeLabel(x);
    };
    if (!plot.xLabels.empty()) {
        for (std::size_t i = 0; i < plot.xLabels.size(); ++i) {
            f.xTicks.push_back({f.x(static_cast<double>(i + 1)), plot.xLabels[i]});
        }
    } else {
        f.xTicks.push_back({f.x(f.xMin), xLabel(f.xMin)});
        for (double c = std::ceil(f.xMin / xStep) * xStep; c < f.xMax; c += xStep) {
            if (c - f.xMin >= xStep / 2 && f.xMax - c >= xStep / 2) {
                f.xTicks.push_back({f.x(c), xLabel(c)});
            }
        }
        f.xTicks.push_back({f.x(f.xMax), xLabel(f.xMax)});
    }
    f.zeroInside = f.yMin <= 0 && f.yMax >= 0;
    f.zeroY = f.y(std::clamp(0.0, f.yMin, f.yMax));
    return f;
}

std::vector<LegendEntry> legendOf(const PlotData& plot) {
    std::vector<LegendEntry> legend;
    if (!plot.othersName.empty() && !plot.others.empty()) {
        legend.push_back({plot.othersName, kOthersColour, kSecondWidth, false});
    }
    if (!plot.name.empty() && !plot.points.empty()) {
        legend.push_back({plot.name, kFirstColour, kFirstWidth, false});
    }
    if (!plot.secondName.empty() && !plot.second.empty()) {
        legend.push_back({plot.secondName, kSecondColour, kSecondWidth, false});
    }
    if (!plot.limits.empty() || !plot.xLimits.empty()) {
        legend.push_back({plot.limitName.empty() ? std::string(kLimitName) : plot.limitName,
                          kLimitColour, kLimitWidth, true});
    }
    return legend;
}

unsigned verdictColour(const std::string& verdict) {
    if (verdict == "PASS") {
        return 0x2e7d32;
    }
    if (verdict == "CONDITIONAL") {
        return 0xb26a00;
    }
    if (verdict == "INTERRUPTED") {
        return 0x555555;
    }
    // A page that judges nothing (a lot's datasheet) wears a plain badge.
    return verdict == "FAIL" ? 0xc62828 : kFirstColour;
}

namespace {

constexpr unsigned kLabelColour = 0x222222;

// The plot's title over its area, and the legend on the title's line from
// the right: a stroke, its name.
void drawTitle(Canvas& c, const PlotData& plot, const Box& box, const Box& area, double fontSize) {
    const double baseline = box.top + fontSize * 1.1;
    c.text(area.left, baseline, plot.title, Anchor::Start, Level::Baseline, fontSize, 0);
    const double size = fontSize * 0.8;
    double right = area.left + area.width;
    const auto legend = legendOf(plot);
    for (auto entry = legend.rbegin(); entry != legend.rend(); ++entry) {
        const double textWidth = c.textWidth(entry->name, size);
        const double y = box.top + fontSize * 0.8;
        c.text(right - textWidth, baseline, entry->name, Anchor::Start, Level::Baseline, size, 0);
        c.line({right - textWidth - fontSize * 2.4, y}, {right - textWidth - fontSize * 0.4, y},
               {entry->colour, fontSize * entry->width * 1.5, entry->dashed});
        right -= textWidth + fontSize * 3.4;
    }
}

std::vector<Canvas::Point> placed(const PlotFrame& f, const Points& points) {
    std::vector<Canvas::Point> at;
    at.reserve(points.size());
    for (const auto& [code, value] : points) {
        at.emplace_back(f.x(code), f.y(value));
    }
    return at;
}

// A series as lines, broken across the plot's gaps.
void drawSeries(Canvas& c, const PlotFrame& f, const PlotData& plot, const Points& points,
                const Pen& pen) {
    Points run;
    for (const auto& point : points) {
        if (!run.empty()) {
            const double from = run.back().first, to = point.first;
            const bool acrossGap = std::any_of(plot.gaps.begin(), plot.gaps.end(), [&](auto g) {
                return from <= g.first && to >= g.second && to > from;
            });
            if (acrossGap) {
                c.polyline(placed(f, run), pen);
                run.clear();
            }
        }
        run.push_back(point);
    }
    c.polyline(placed(f, run), pen);
}

} // namespace

void drawPlot(Canvas& c, const PlotData& plot, const Box& box, double fontSize) {
    const PlotFrame f = frameOf(plot, box, fontSize);
    const Box& area = f.area;
    const double right = area.left + area.width, bottom = area.top + area.height;
    const double size = fontSize * 0.8;
    for (const Tick& t : f.yTicks) {
        c.line({area.left, t.at}, {right, t.at}, {0xdddddd, 0, false});
        c.text(area.left - 4, t.at, t.label, Anchor::End, Level::Middle, size, kLabelColour);
    }
    for (const Tick& t : f.xTicks) {
        c.line({t.at, area.top}, {t.at, bottom}, {0xeeeeee, 0, false});
        c.text(t.at, bottom + fontSize * 0.9, t.label, Anchor::Middle, Level::Middle, size,
               kLabelColour);
    }
    if (f.zeroInside) {
        c.line({area.left, f.zeroY}, {right, f.zeroY}, {0x888888, 0, false});
    }
    c.rect(area, {0x444444, 0, false});
    c.clip(area);
    for (const double limit : plot.limits) {
        c.line({area.left, f.y(limit)}, {right, f.y(limit)},
               {kLimitColour, fontSize * kLimitWidth, true});
    }
    for (const double limit : plot.xLimits) {
        c.line({f.x(limit), area.top}, {f.x(limit), bottom},
               {kLimitColour, fontSize * kLimitWidth, true});
    }
    for (const Points& other : plot.others) {
        c.polyline(placed(f, other), {kOthersColour, fontSize * kSecondWidth, false});
    }
    const Pen first{kFirstColour, fontSize * kFirstWidth, false};
    if (plot.bars > 0) {
        for (const auto& [x, value] : plot.points) {
            const double left = f.x(x - plot.bars / 2), top = std::min(f.y(value), f.zeroY);
            const Box bar{left, top, f.x(x + plot.bars / 2) - left, std::abs(f.y(value) - f.zeroY)};
            c.fill(bar, kBarColour);
            c.rect(bar, {kFirstColour, 0, false});
        }
    } else if (plot.stems) {
        c.stems(placed(f, plot.points), f.zeroY, first);
    } else {
        drawSeries(c, f, plot, plot.points, first);
    }
    // The thinner series over the thicker, so that neither hides the other
    // where they agree (a sweep's expected output under its measured one).
    drawSeries(c, f, plot, plot.second, {kSecondColour, fontSize * kSecondWidth, false});
    c.unclip();
    drawTitle(c, plot, box, area, fontSize);
    c.text(area.left + area.width / 2, bottom + fontSize * 2.1, plot.xName, Anchor::Middle,
           Level::Middle, size, kLabelColour);
    // Clear of the picture's edge, where a PNG of the plot alone ends.
    c.text(box.left + fontSize * 0.4, area.top - fontSize * 0.7, plot.yLabel, Anchor::Start,
           Level::Baseline, size, kLabelColour);
}

} // namespace qd::report

#include "report/Plot.h"

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
    double yStep = 0;
    if (plot.symmetric) {
        const double largest = std::max(std::abs(low), std::abs(high));
        yStep = roundStep(std::max(largest, plot.smallestScale) / 2);
        f.yMax = yStep * std::max(1.0, std::ceil(largest * 1.05 / yStep));
        f.yMin = -f.yMax;
    } else {
        yStep = roundStep(std::max(high - low, plot.smallestScale) / 5);
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
    f.xTicks.push_back({f.x(f.xMin), xLabel(f.xMin)});
    for (double c = std::ceil(f.xMin / xStep) * xStep; c < f.xMax; c += xStep) {
        if (c - f.xMin >= xStep / 2 && f.xMax - c >= xStep / 2) {
            f.xTicks.push_back({f.x(c), xLabel(c)});
        }
    }
    f.xTicks.push_back({f.x(f.xMax), xLabel(f.xMax)});
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
    if (!plot.limits.empty()) {
        legend.push_back({kLimitName, kLimitColour, kLimitWidth, true});
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

} // namespace qd::report

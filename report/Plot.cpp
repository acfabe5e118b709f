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
    const double labelWidth = fontSize * 4.5;
    f.area = {box.left + labelWidth, box.top + fontSize * 1.8, box.width - labelWidth - fontSize,
              box.height - fontSize * 4.2};
    f.xMin = plot.fromCode;
    f.xMax = std::max(plot.toCode, plot.fromCode + 1);
    double largest = 0;
    for (const auto* series : {&plot.points, &plot.second}) {
        for (const auto& [code, value] : *series) {
            largest = std::max(largest, std::abs(value));
        }
    }
    const double yStep = roundStep(std::max(largest, 1e-3) / 2);
    f.yMax = yStep * std::max(1.0, std::ceil(largest * 1.05 / yStep));
    f.yMin = -f.yMax;
    for (double v = f.yMin; v <= f.yMax + yStep / 2; v += yStep) {
        f.yTicks.push_back({f.y(v), valueLabel(v, yStep)});
    }
    // Codes are binary: ticks at a power of two read as round hexadecimal.
    const double xStep = std::exp2(std::ceil(std::log2(std::max(1.0, (f.xMax - f.xMin) / 8))));
    for (double c = std::ceil(f.xMin / xStep) * xStep; c <= f.xMax; c += xStep) {
        f.xTicks.push_back({f.x(c), codeLabel(c)});
    }
    f.zeroY = f.y(0);
    return f;
}

} // namespace qd::report

#include "bench/LivePlot.h"

#include "run/SweepPlot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace qd::bench {

void LivePlot::add(const report::Points& readings) {
    for (const auto& [code, volts] : readings) {
        if (readings_.empty()) {
            from_ = to_ = code;
        }
        from_ = std::min(from_, code);
        to_ = std::max(to_, code);
        readings_.emplace_back(code, volts);
    }
}

void LivePlot::clear() {
    *this = LivePlot();
}

report::PlotData LivePlot::output() const {
    report::PlotData plot;
    plot.title = "Output as measured";
    plot.yLabel = "V";
    plot.symmetric = false;
    plot.fromCode = from_;
    plot.toCode = to_;
    run::ColumnReducer columns(static_cast<std::int32_t>(from_), static_cast<std::int32_t>(to_),
                               report::kPlotWidth);
    std::for_each(readings_.begin(), readings_.end(), [&](const auto& r) {
        columns.add(static_cast<std::int32_t>(r.first), r.second);
    });
    plot.points = columns.points();
    return plot;
}

report::PlotData LivePlot::inl() const {
    report::PlotData plot;
    plot.title = "INL so far, against the line through the codes measured";
    plot.yLabel = "LSB";
    plot.fromCode = from_;
    plot.toCode = to_;
    // Codes counted from the range's start keep the sums well conditioned
    // for 24-bit codes too.
    double n = 0, sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (const auto& [code, volts] : readings_) {
        const double x = code - from_;
        n += 1;
        sx += x;
        sy += volts;
        sxx += x * x;
        sxy += x * volts;
    }
    const double d = n * sxx - sx * sx;
    if (n < 2 || d <= 0) {
        return plot;
    }
    const double slope = (n * sxy - sx * sy) / d;
    const double offset = (sy - slope * sx) / n;
    if (!(std::abs(slope) > 0)) {
        return plot;
    }
    run::ColumnReducer columns(static_cast<std::int32_t>(from_), static_cast<std::int32_t>(to_),
                               report::kPlotWidth);
    for (const auto& [code, volts] : readings_) {
        columns.add(static_cast<std::int32_t>(code),
                    (volts - (offset + slope * (code - from_))) / slope);
    }
    plot.points = columns.points();
    return plot;
}

} // namespace qd::bench

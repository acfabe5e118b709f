#include "run/SweepPlot.h"

#include <algorithm>

namespace qd::run {

ColumnReducer::ColumnReducer(std::int32_t from, std::int32_t to, int columns)
    : from_(from), span_(std::int64_t{to} - from + 1),
      columns_(static_cast<std::size_t>(
          std::max<std::int64_t>(1, std::min<std::int64_t>(columns, span_)))) {}

void ColumnReducer::add(std::int32_t code, double value) {
    const std::int64_t offset = std::clamp<std::int64_t>(code - from_, 0, span_ - 1);
    const auto n = static_cast<std::int64_t>(columns_.size());
    auto& c = columns_[static_cast<std::size_t>(offset * n / span_)];
    ++seen_;
    if (!c.used) {
        c = {true, static_cast<double>(code), value, value, seen_, seen_};
        return;
    }
    if (value < c.min) {
        c.min = value;
        c.minAt = seen_;
    }
    if (value > c.max) {
        c.max = value;
        c.maxAt = seen_;
    }
}

std::vector<std::pair<double, double>> ColumnReducer::points() const {
    std::vector<std::pair<double, double>> out;
    out.reserve(columns_.size() * 2);
    for (const auto& c : columns_) {
        if (!c.used) {
            continue;
        }
        const double first = c.minAt <= c.maxAt ? c.min : c.max;
        const double second = c.minAt <= c.maxAt ? c.max : c.min;
        out.emplace_back(c.code, first);
        if (second != first) {
            out.emplace_back(c.code, second);
        }
    }
    return out;
}

SweepPlot::SweepPlot(std::int32_t from, std::int32_t to)
    : from_(from), to_(to), expected_(from, to, report::kPlotWidth),
      measured_(from, to, report::kPlotWidth), error_(from, to, report::kPlotWidth) {}

void SweepPlot::add(const measure::SweepRow& row) {
    expected_.add(row.code, row.expectedVolts);
    measured_.add(row.code, row.measuredVolts);
    error_.add(row.code, row.errorCounts());
}

report::ReportData SweepPlot::data(const std::string& title,
                                   std::vector<std::string> summary) const {
    report::ReportData d;
    d.title = title;
    report::PlotData output = report::plotOf(title, "output (V)", from_, to_, measured_.points());
    output.name = "measured";
    output.secondName = "expected";
    output.second = expected_.points();
    output.symmetric = false;
    report::PlotData error =
        report::plotOf("Error: reading - ideal reading", "counts", from_, to_, error_.points());
    error.smallestScale = 1;
    d.plots = {std::move(output), std::move(error)};
    d.caption = std::move(summary);
    return d;
}

} // namespace qd::run

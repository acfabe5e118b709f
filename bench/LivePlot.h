#pragma once

// A run's readings drawn while it goes on: the output against code, and the
// INL so far against the least-squares line through the codes measured.
// The run's own figures replace the latter when it ends; until then this
// shows the shape growing, not a figure to quote.

#include "report/ReportData.h"

#include <cstddef>

namespace qd::bench {

class LivePlot {
  public:
    // (code, mean volts) of codes just measured, in the order they came.
    void add(const report::Points& readings);
    void clear();
    std::size_t size() const { return readings_.size(); }

    report::PlotData output() const;
    // No points while fewer than two codes, or a flat output, give a line.
    report::PlotData inl() const;

  private:
    // Every reading is kept (the plan bounds them: 16 bytes a code), so
    // that the INL can be taken against the line of all of them at once.
    report::Points readings_;
    double from_ = 0, to_ = 0;
};

} // namespace qd::bench

#pragma once

#include "measure/SweepStatistics.h"
#include "report/ReportData.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qd::run {

// One series reduced as it comes: the codes' range split into columns, each
// keeping its first, smallest and largest value, so a sweep of any length
// needs the same memory and draws as fast.
class ColumnReducer {
  public:
    ColumnReducer(std::int32_t from, std::int32_t to, int columns);
    void add(std::int32_t code, double value);
    // Per column that got a value: its extremes, in the order they came.
    std::vector<std::pair<double, double>> points() const;

  private:
    struct Column {
        bool used = false;
        double code = 0; // the first code that fell into it
        double min = 0, max = 0;
        std::uint64_t minAt = 0, maxAt = 0; // when each extreme came
    };
    std::int32_t from_;
    std::int64_t span_;
    std::vector<Column> columns_;
    std::uint64_t seen_ = 0;
};

// A sweep's picture: the output expected and measured against code, and
// the error in counts, each series reduced as it comes.
class SweepPlot {
  public:
    SweepPlot(std::int32_t from, std::int32_t to);
    void add(const measure::SweepRow& row);
    // The plots, titled, with the sweep's summary under them.
    report::ReportData data(const std::string& title, std::vector<std::string> summary) const;

  private:
    std::int32_t from_, to_;
    ColumnReducer expected_, measured_, error_;
};

} // namespace qd::run

#pragma once

#include "measure/SweepStatistics.h"
#include "plot/PlotData.h"

#include <QLibrary>
#include <cstdint>
#include <string>
#include <vector>

namespace qd::cli {

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

// The three series of a sweep's plot.
class SweepPlot {
  public:
    SweepPlot(std::int32_t from, std::int32_t to);
    void add(const measure::SweepRow& row);
    PlotData data(const std::string& title) const;

  private:
    std::int32_t from_, to_;
    ColumnReducer expected_, measured_, error_;
};

// The plot module, loaded beside qdctl only when a plot is asked for, so
// that no other command loads Qt Gui, Widgets or Charts.
class PlotModule {
  public:
    // Raises Failure(LibraryFailed) when the module cannot be loaded.
    explicit PlotModule(const std::string& folder);

    // Draws into a file beside `path` that takes its name once complete;
    // raises Failure(WriteFailed) when it cannot be written. The drawing's
    // own seconds.
    double draw(const PlotData& data, const std::string& path);

  private:
    QLibrary library_;
    DrawSweepPlot draw_ = nullptr;
};

} // namespace qd::cli

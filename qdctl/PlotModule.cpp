#include "qdctl/PlotModule.h"

#include "qdctl/ExitStatus.h"
#include "qdctl/ResultsFile.h"
#include "qdctl/System.h"

#include <QFile>
#include <algorithm>

namespace qd::cli {

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
    : from_(from), to_(to), expected_(from, to, kPlotWidth), measured_(from, to, kPlotWidth),
      error_(from, to, kPlotWidth) {}

void SweepPlot::add(const measure::SweepRow& row) {
    expected_.add(row.code, row.expectedVolts);
    measured_.add(row.code, row.measuredVolts);
    error_.add(row.code, row.errorMillivolts());
}

PlotData SweepPlot::data(const std::string& title) const {
    return {title,
            static_cast<double>(from_),
            static_cast<double>(to_),
            expected_.points(),
            measured_.points(),
            error_.points()};
}

PlotModule::PlotModule(const std::string& folder)
    : library_(QString::fromStdString(folder + "/" + sys::moduleFile(kPlotModule))) {
    if (!QFile::exists(library_.fileName())) {
        // A build made without Qt Charts (a Windows SDK may lack it) has no
        // plot module, and does everything else.
        throw Failure(LibraryFailed, "cannot draw a sweep: this qdctl has no plot module (" +
                                         library_.fileName().toStdString() +
                                         "), it was built without Qt Charts");
    }
    draw_ = reinterpret_cast<DrawSweepPlot>(library_.resolve(kDrawSweepPlotSymbol));
    if (!draw_) {
        throw Failure(LibraryFailed,
                      "cannot load the plot module: " + library_.errorString().toStdString());
    }
}

double PlotModule::draw(const PlotData& data, const std::string& path) {
    double seconds = 0;
    writeBeside(path, "the plot", [&](const std::string& partial, std::string& error) {
        return draw_(data, partial, plotFormat(path), error, seconds);
    });
    return seconds;
}

} // namespace qd::cli

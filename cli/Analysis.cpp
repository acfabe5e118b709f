#include "cli/Analysis.h"

#include <cmath>
#include <cstdlib>

namespace qd::cli {

double expectedVolts(std::int32_t code, int resolution, double referenceVolts, int powerMode) {
    if (powerMode != 0) {
        return 0.0;
    }
    return std::ldexp(static_cast<double>(code), -resolution) * referenceVolts;
}

std::int32_t expectedCounts(std::int32_t code, int resolution, double referenceVolts,
                            int powerMode) {
    if (powerMode != 0) {
        return 0;
    }
    return board::idealReading(std::ldexp(static_cast<double>(code), -resolution), referenceVolts);
}

void SweepStatistics::add(const SweepRow& row) {
    ++n_;
    const double x = row.expectedCounts;
    const double y = row.measuredCounts;
    const double dx = x - meanX_;
    meanX_ += dx / static_cast<double>(n_);
    meanY_ += (y - meanY_) / static_cast<double>(n_);
    sxx_ += dx * (x - meanX_);
    sxy_ += dx * (y - meanY_);
    if (n_ == 1 || std::abs(row.errorMillivolts()) > std::abs(worst_.errorMillivolts())) {
        worst_ = row;
    }
    if (n_ > 1 && row.measuredCounts < lastMeasured_) {
        monotonic_ = false;
    }
    lastMeasured_ = row.measuredCounts;
}

SweepSummary SweepStatistics::summary() const {
    SweepSummary s;
    s.points = n_;
    if (n_ == 0) {
        return s;
    }
    // A single point (or a flat line) says nothing about gain.
    const double gain = sxx_ > 0 ? sxy_ / sxx_ : 1.0;
    s.gainErrorPercent = (gain - 1.0) * 100.0;
    s.offsetCounts = meanY_ - gain * meanX_;
    s.largestDeviationMillivolts = worst_.errorMillivolts();
    s.largestDeviationCounts = worst_.errorCounts();
    s.largestDeviationCode = worst_.code;
    s.monotonic = monotonic_;
    return s;
}

SweepSummary summarize(const std::vector<SweepRow>& rows) {
    SweepStatistics statistics;
    for (const auto& row : rows) {
        statistics.add(row);
    }
    return statistics.summary();
}

} // namespace qd::cli

#include "measure/SweepStatistics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qd::measure {

double expectedVolts(std::int32_t code, int resolution, double referenceVolts, int powerMode) {
    if (powerMode != 0) {
        return 0.0;
    }
    return std::ldexp(static_cast<double>(code), -resolution) * referenceVolts;
}

std::int32_t nearestCode(double volts, int resolution, double referenceVolts) {
    const double steps = std::ldexp(1.0, resolution);
    return static_cast<std::int32_t>(
        std::min(std::round(volts / referenceVolts * steps), steps - 1));
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
    if (n_ == 1 || std::abs(row.errorCounts()) > std::abs(worst_.errorCounts())) {
        worst_ = row;
    }
    if (tolerance_ && std::abs(row.errorCounts()) > *tolerance_) {
        ++beyond_;
    }
    if (n_ > 1 && row.measuredCounts < lastMeasured_) {
        stepsUp_ = false;
    }
    lowestMeasured_ = n_ == 1 ? row.measuredCounts : std::min(lowestMeasured_, row.measuredCounts);
    highestMeasured_ =
        n_ == 1 ? row.measuredCounts : std::max(highestMeasured_, row.measuredCounts);
    lastMeasured_ = row.measuredCounts;
}

SweepSummary SweepStatistics::summary() const {
    SweepSummary s;
    s.points = n_;
    s.toleranceCounts = tolerance_;
    s.pointsBeyondTolerance = beyond_;
    if (n_ == 0) {
        return s;
    }
    // A single point (or a flat line) says nothing about gain.
    const double gain = sxx_ > 0 ? sxy_ / sxx_ : 1.0;
    s.gainErrorPercent = (gain - 1.0) * 100.0;
    s.offsetCounts = meanY_ - gain * meanX_;
    s.largestDeviationCounts = worst_.errorCounts();
    s.largestDeviationCode = worst_.code;
    // Expected readings that do not change (a power-down mode, one point)
    // give the readings nothing to follow.
    if (sxx_ > 0 && lowestMeasured_ == highestMeasured_) {
        s.response = Response::Flat;
        s.flatCounts = lowestMeasured_;
    } else if (sxx_ > 0 && sxy_ <= 0) {
        s.response = Response::Falling;
    }
    s.monotonic = stepsUp_ && s.response == Response::Follows;
    return s;
}

const char* responseWord(Response response) {
    switch (response) {
    case Response::Flat:
        return "flat";
    case Response::Falling:
        return "falling";
    case Response::Follows:
        break;
    }
    return "follows";
}

} // namespace qd::measure

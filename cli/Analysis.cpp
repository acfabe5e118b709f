#include "cli/Analysis.h"

#include <algorithm>
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

SweepSummary summarize(const std::vector<SweepRow>& rows) {
    SweepSummary s;
    s.points = rows.size();
    if (rows.empty()) {
        return s;
    }
    double meanX = 0;
    double meanY = 0;
    for (const auto& r : rows) {
        meanX += r.expectedCounts;
        meanY += r.measuredCounts;
    }
    meanX /= static_cast<double>(rows.size());
    meanY /= static_cast<double>(rows.size());
    double sxx = 0;
    double sxy = 0;
    for (const auto& r : rows) {
        sxx += (r.expectedCounts - meanX) * (r.expectedCounts - meanX);
        sxy += (r.expectedCounts - meanX) * (r.measuredCounts - meanY);
    }
    // A single point (or a flat line) says nothing about gain.
    const double gain = sxx > 0 ? sxy / sxx : 1.0;
    s.gainErrorPercent = (gain - 1.0) * 100.0;
    s.offsetCounts = meanY - gain * meanX;

    const SweepRow* worst = &rows.front();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& r = rows[i];
        if (std::abs(r.errorMillivolts()) > std::abs(worst->errorMillivolts())) {
            worst = &r;
        }
        if (i > 0 && r.measuredCounts < rows[i - 1].measuredCounts) {
            s.monotonic = false;
        }
    }
    s.largestDeviationMillivolts = worst->errorMillivolts();
    s.largestDeviationCounts = worst->errorCounts();
    s.largestDeviationCode = worst->code;
    return s;
}

} // namespace qd::cli

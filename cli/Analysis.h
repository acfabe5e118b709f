#pragma once

#include "board/BoardFacts.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qd::cli {

// The output an ideal board gives for a code: code / 2^bits x reference,
// 0 V in any power-down mode.
double expectedVolts(std::int32_t code, int resolution, double referenceVolts, int powerMode);

// What an ideal 12-bit measuring converter reads for that output.
std::int32_t expectedCounts(std::int32_t code, int resolution, double referenceVolts,
                            int powerMode);

struct SweepRow {
    std::int32_t code = 0;
    std::int32_t frame = 0;
    double expectedVolts = 0;
    double measuredVolts = 0;
    std::int32_t expectedCounts = 0;
    std::int32_t measuredCounts = 0;

    double errorMillivolts() const { return (measuredVolts - expectedVolts) * 1000.0; }
    std::int32_t errorCounts() const { return measuredCounts - expectedCounts; }
};

struct SweepSummary {
    std::size_t points = 0;
    // The straight line measured = offset + gain x expected, in counts,
    // fitted by least squares; an ideal board gives offset 0 and gain 1.
    double offsetCounts = 0;
    double gainErrorPercent = 0;
    double largestDeviationMillivolts = 0;
    std::int32_t largestDeviationCounts = 0;
    std::int32_t largestDeviationCode = 0;
    bool monotonic = true;

    double offsetMillivolts() const {
        return offsetCounts * board::kAdcFullScaleVolts / board::kAdcCounts * 1000.0;
    }
};

// The summary of a sweep, gathered row by row as it is measured, so that a
// sweep of any length needs the same memory.
class SweepStatistics {
  public:
    void add(const SweepRow& row);
    SweepSummary summary() const;

  private:
    std::size_t n_ = 0;
    // Running means and co-moments (Welford), stable for long sweeps.
    double meanX_ = 0, meanY_ = 0, sxx_ = 0, sxy_ = 0;
    SweepRow worst_;
    std::int32_t lastMeasured_ = 0;
    bool monotonic_ = true;
};

SweepSummary summarize(const std::vector<SweepRow>& rows);

} // namespace qd::cli

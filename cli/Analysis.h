#pragma once

#include "board/BoardFacts.h"

#include <cstdint>
#include <vector>

namespace qd::cli {

// The output an ideal board gives for a code: code / 2^bits x reference,
// 0 V in any power-down mode.
double expectedVolts(std::int32_t code, int resolution, double referenceVolts, int powerMode);

// What an ideal 12-bit measuring converter reads for that output. Scaled by
// the reference's ratio to full scale, so an ideal board reads every code
// exactly as predicted.
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

SweepSummary summarize(const std::vector<SweepRow>& rows);

} // namespace qd::cli

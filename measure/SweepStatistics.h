#pragma once

#include "board/BoardFacts.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace qd::measure {

// The output an ideal board gives for a code: code / 2^bits x reference,
// 0 V in any power-down mode.
double expectedVolts(std::int32_t code, int resolution, double referenceVolts, int powerMode);

// What an ideal 12-bit measuring converter reads for that output.
// The code whose output lies nearest `volts`, which the caller keeps within
// 0 to the reference; the reference itself gives the largest code.
std::int32_t nearestCode(double volts, int resolution, double referenceVolts);

std::int32_t expectedCounts(std::int32_t code, int resolution, double referenceVolts,
                            int powerMode);

// One code of a sweep. Errors are in measuring-converter counts against
// the ideal reading, so an ideal board shows none at any code; in mV they
// are those counts at 4.93 V / 4096 each.
struct SweepRow {
    std::int32_t code = 0;
    std::int32_t frame = 0;
    double expectedVolts = 0;
    double measuredVolts = 0; // the reading's voltage at full precision
    std::int32_t expectedCounts = 0;
    std::int32_t measuredCounts = 0;

    std::int32_t errorCounts() const { return measuredCounts - expectedCounts; }
    double errorMillivolts() const { return board::readingVolts(errorCounts()) * 1000.0; }
};

// How the readings go with the codes, where the expected readings rise: an
// output stuck at one value, or going the wrong way, is no measurement of
// the converter.
enum class Response { Follows, Flat, Falling };
const char* responseWord(Response response); // "follows", "flat", "falling"

struct SweepSummary {
    std::size_t points = 0;
    // The straight line measured = offset + gain x expected, in counts,
    // fitted by least squares; an ideal board gives offset 0 and gain 1.
    double offsetCounts = 0;
    double gainErrorPercent = 0;
    std::int32_t largestDeviationCounts = 0;
    std::int32_t largestDeviationCode = 0;
    bool monotonic = true; // no step down, and the readings follow the codes
    Response response = Response::Follows;
    std::int32_t flatCounts = 0; // the one reading of a flat response
    std::optional<double> toleranceCounts;
    std::size_t pointsBeyondTolerance = 0;

    double offsetMillivolts() const { return board::readingVolts(1) * offsetCounts * 1000.0; }
    double largestDeviationMillivolts() const {
        return board::readingVolts(largestDeviationCounts) * 1000.0;
    }
    // What a sweep checks: readings that follow the codes, each within the
    // tolerance when one was given.
    bool pass() const { return response == Response::Follows && pointsBeyondTolerance == 0; }
};

// The summary of a sweep, gathered row by row as it is measured, so that a
// sweep of any length needs the same memory.
class SweepStatistics {
  public:
    explicit SweepStatistics(std::optional<double> toleranceCounts = std::nullopt)
        : tolerance_(toleranceCounts) {}
    void add(const SweepRow& row);
    SweepSummary summary() const;

  private:
    std::optional<double> tolerance_;
    std::size_t n_ = 0;
    // Running means and co-moments (Welford), stable for long sweeps.
    double meanX_ = 0, meanY_ = 0, sxx_ = 0, sxy_ = 0;
    std::int32_t lowestMeasured_ = 0, highestMeasured_ = 0;
    std::size_t beyond_ = 0;
    SweepRow worst_;
    std::int32_t lastMeasured_ = 0;
    bool stepsUp_ = true;
};

} // namespace qd::measure

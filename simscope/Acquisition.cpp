#include "simscope/Acquisition.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qd::simscope {

using boardmodel::BoardModel;

std::vector<double> filtered(const BoardModel& board, const Setup& setup) {
    const double tau = 1 / (2 * std::numbers::pi * setup.bandwidthHz);
    // The filter forgets what came more than 20 time constants before the
    // first sample: it starts there, settled on the input.
    double t = setup.firstSeconds - 20 * tau;
    double y = board.quietStepVolts(t * setup.timebase);
    const auto advance = [&](double until, int steps) {
        const double h = (until - t) / steps;
        const double pass = -std::expm1(-h / tau);
        for (int k = 0; k < steps; ++k) {
            y += pass * (board.quietStepVolts((t + h / 2) * setup.timebase) - y);
            t += h;
        }
        t = until;
    };
    advance(setup.firstSeconds, 40);
    // Up to 16 steps between samples: finer than the time constant, or, for
    // a slow timebase, fine enough for the input, which the filter then
    // follows closely.
    const int steps = std::clamp(static_cast<int>(std::ceil(setup.interval / (tau / 2))), 1, 16);
    std::vector<double> out(static_cast<std::size_t>(setup.points));
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (i > 0) {
            advance(setup.firstSeconds + static_cast<double>(i) * setup.interval, steps);
        }
        out[i] = y;
    }
    return out;
}

namespace {

// One acquisition's codes added to `sum`.
void acquireOnce(const BoardModel& board, const Limits& limits, const Setup& setup,
                 const std::vector<double>& input, std::uint64_t seed, std::uint64_t acquisition,
                 std::vector<double>& sum) {
    const double perVolt = limits.codesPerDivision() / setup.voltsPerDivision * setup.gain;
    const double ownNoise =
        std::max(limits.noiseDivisions * setup.voltsPerDivision, limits.noiseFloorVolts);
    const double top = limits.maxCode();
    double overdriveSign = 0; // of the last sample beyond the codes, 0: none yet
    double overdriveAt = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const std::uint64_t index = (acquisition << 32) + i;
        const double t = setup.firstSeconds + static_cast<double>(i) * setup.interval;
        const double volts =
            input[i] + board.converter.noiseVolts(boardmodel::kScopeOutputStream, index) +
            ownNoise * boardmodel::normalDeviate(seed, boardmodel::kScopeOwnStream, index);
        double code = limits.midCode() + (volts - setup.centreVolts) * perVolt;
        if (code < -0.5 || code > top + 0.5) {
            overdriveSign = code < 0 ? -1 : 1;
            overdriveAt = t;
        } else if (overdriveSign != 0 && t - overdriveAt < limits.recoverySeconds) {
            const double rest = 1 - (t - overdriveAt) / limits.recoverySeconds;
            code += overdriveSign * kRecoveryDivisions * limits.codesPerDivision() * rest * rest;
        }
        sum[i] += std::clamp(std::round(code), 0.0, top);
    }
}

} // namespace

std::vector<double> acquire(const BoardModel& board, const Limits& limits, const Setup& setup,
                            std::uint64_t seed, std::uint64_t firstAcquisition) {
    const std::vector<double> input = filtered(board, setup);
    std::vector<double> sum(input.size(), 0.0);
    for (int k = 0; k < setup.averages; ++k) {
        acquireOnce(board, limits, setup, input, seed,
                    firstAcquisition + static_cast<std::uint64_t>(k), sum);
    }
    for (double& code : sum) {
        code /= setup.averages;
    }
    return sum;
}

} // namespace qd::simscope

#pragma once

// A converter's step as the board model moves it (slew-limited, then
// first-order, with a glitch lobe at a carry) and a scope's averaged record
// of it (first-order bandwidth, white noise, 8-bit codes clipped at the
// screen's edges, overdrive recovery, the average rounded to whole codes
// or kept), so that the dynamic figures are tested against a truth known
// in closed form.

#include "measure/Waveform.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace qd::test {

struct StepModel {
    double from = 0, to = 0;    // V
    double slew = 0, tau = 0;   // V/µs, µs
    double glitch = 0;          // nV·s, a sin² lobe from the update
    double glitchWidth = 50e-9; // s
    double afterLobe = 0;       // nV·s, a second lobe right after the first

    double volts(double t) const {
        if (t < 0) {
            return from;
        }
        const double d = std::abs(to - from), s = to > from ? 1 : -1;
        const double rate = slew * 1e6, tc = tau * 1e-6;
        double v = to;
        if (rate * tc > 0 && d > rate * tc) {
            const double knee = (d - rate * tc) / rate;
            v = t < knee ? from + s * rate * t : to - s * rate * tc * std::exp(-(t - knee) / tc);
        } else if (tc > 0) {
            v = to - (to - from) * std::exp(-t / tc);
        }
        return v + lobe(t, glitch) + lobe(t - glitchWidth, afterLobe);
    }
    double lobe(double t, double area) const {
        if (t < 0 || t > glitchWidth) {
            return 0;
        }
        const double s = std::sin(std::numbers::pi * t / glitchWidth);
        return area * 1e-9 * 2 / glitchWidth * s * s;
    }
    // Seconds from the update until the output last enters ±band.
    double settlingSeconds(double band) const {
        const double d = std::abs(to - from), rate = slew * 1e6, tc = tau * 1e-6;
        if (d > rate * tc) {
            const double knee = (d - rate * tc) / rate;
            return band >= rate * tc ? (d - band) / rate : knee + tc * std::log(rate * tc / band);
        }
        return tc * std::log(d / band);
    }
};

struct ScopeModel {
    int bits = 8;
    double voltsPerDivision = 1, centreVolts = 0;
    double noiseDivisions = 0.1, noiseFloor = 50e-6;
    double bandwidthHz = 200e6;
    double gainError = 0; // of the front end, about the screen's centre
    double recoverySeconds = 100e-9;
    int averages = 64;
    bool keepsFraction = false;
    double startSeconds = 0, intervalSeconds = 1e-9;
    int points = 10000;
};

inline measure::Waveform acquire(const StepModel& model, const ScopeModel& scope,
                                 std::mt19937_64& rng) {
    const int top = (1 << scope.bits) - 1, middle = 1 << (scope.bits - 1);
    const double code = scope.voltsPerDivision * 10.24 / (1 << scope.bits);
    const double alpha =
        1 - std::exp(-scope.intervalSeconds * 2 * std::numbers::pi * scope.bandwidthHz);
    std::vector<double> clean(static_cast<std::size_t>(scope.points));
    double state = model.volts(scope.startSeconds);
    for (std::size_t i = 0; i < clean.size(); ++i) {
        state += alpha * (model.volts(scope.startSeconds + scope.intervalSeconds * i) - state);
        clean[i] = scope.centreVolts + (1 + scope.gainError) * (state - scope.centreVolts);
    }
    std::normal_distribution<double> noise(
        0, std::max(scope.noiseDivisions * scope.voltsPerDivision, scope.noiseFloor));
    std::vector<double> sum(clean.size(), 0);
    for (int a = 0; a < scope.averages; ++a) {
        double sinceClip = 1e9, overdrive = 0;
        for (std::size_t i = 0; i < clean.size(); ++i) {
            double c = std::round((clean[i] + noise(rng) - scope.centreVolts) / code) + middle;
            if (c <= 0 || c >= top) {
                overdrive = c <= 0 ? -1 : 1;
                sinceClip = 0;
            } else if (sinceClip < scope.recoverySeconds) {
                // The front end still pulled toward the rail it left.
                c += overdrive * 25 * std::exp(-4 * sinceClip / scope.recoverySeconds);
            }
            sinceClip += scope.intervalSeconds;
            sum[i] += std::clamp(c, 0.0, static_cast<double>(top));
        }
    }
    measure::Waveform w;
    w.startSeconds = scope.startSeconds;
    w.intervalSeconds = scope.intervalSeconds;
    w.codeVolts = code;
    w.averages = scope.averages;
    for (const double s : sum) {
        double c = s / scope.averages;
        w.clipped.push_back(c <= 0.5 || c >= top - 0.5 ? 1 : 0);
        c = scope.keepsFraction ? c : std::round(c);
        w.volts.push_back((c - middle) * code + scope.centreVolts);
    }
    return w;
}

} // namespace qd::test

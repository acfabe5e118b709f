// How to set the scope up for the dynamic figures, and a record's compact
// form for the store.

#include "measure/Dynamic.h"
#include "measure/DynamicFit.h"

#include <algorithm>
#include <cmath>

namespace qd::measure {

namespace {

// The smallest of 1, 2, 5 × 10^k at or above `x`: the settings scopes step
// through.
double niceAbove(double x) {
    const double decade = std::pow(10.0, std::floor(std::log10(x)));
    for (const double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * decade >= x * (1 - 1e-9)) {
            return m * decade;
        }
    }
    return 10 * decade;
}

// One code in volts: the families show 25 codes a division on 8 bits (100
// on 10, 400 on 12), the ADC's range a little beyond the screen.
double codeVolts(const ScopeCapabilities& s, double voltsPerDivision) {
    return voltsPerDivision * 10.24 / std::pow(2.0, s.adcBits);
}

double resolutionOf(const ScopeCapabilities& s, double voltsPerDivision, int averages) {
    const double noise = std::max(s.noiseDivisions * voltsPerDivision, s.noiseFloorVolts);
    const double q = codeVolts(s, voltsPerDivision) / kRootTwelve;
    const double n = averages;
    return std::sqrt(noise * noise / n + q * q / (s.keepsAverageFraction ? n : 1));
}

void setTimebase(const ScopeCapabilities& s, double span, double before, Acquisition& a) {
    a.secondsPerDivision = niceAbove(span / s.horizontalDivisions);
    a.spanSeconds = a.secondsPerDivision * s.horizontalDivisions;
    a.startSeconds = -before * a.spanSeconds;
    a.sampleIntervalSeconds =
        std::max(a.spanSeconds / std::max(1, s.recordPoints), 1 / s.maxSampleRate);
}

} // namespace

SettlingPlan planSettling(double fromVolts, double toVolts, double bandVolts,
                          const ScopeCapabilities& scope, double expectedSettlingSeconds,
                          int averages) {
    SettlingPlan p;
    const double span = 2.5 * expectedSettlingSeconds;
    Acquisition& fine = p.fine;
    fine.voltsPerDivision =
        std::clamp(niceAbove(4 * bandVolts / scope.verticalDivisions), scope.finestVoltsPerDivision,
                   scope.coarsestVoltsPerDivision);
    fine.centreVolts = toVolts;
    setTimebase(scope, span, 0.02, fine);
    if (averages > 0) {
        fine.averages = averages;
    } else {
        fine.averages = 1;
        while (fine.averages < scope.maxAverages &&
               5 * resolutionOf(scope, fine.voltsPerDivision, fine.averages) > bandVolts) {
            fine.averages *= 2;
        }
        fine.averages = std::min(fine.averages, scope.maxAverages);
    }
    if (scope.averagesPowerOfTwo) {
        fine.averages = 1 << static_cast<int>(std::ceil(std::log2(std::max(1, fine.averages))));
    }
    fine.resolutionVolts = resolutionOf(scope, fine.voltsPerDivision, fine.averages);
    if (4 * fine.resolutionVolts > bandVolts) {
        p.resolvable = false;
        p.why = "the scope resolves ±" + voltsText(4 * fine.resolutionVolts) + " after " +
                averagesText(fine.averages) + " at " + voltsText(fine.voltsPerDivision) +
                "/div; the band is ±" + voltsText(bandVolts);
    }
    Acquisition& coarse = p.coarse;
    coarse.voltsPerDivision =
        std::clamp(niceAbove(std::abs(toVolts - fromVolts) / (scope.verticalDivisions - 2)),
                   scope.finestVoltsPerDivision, scope.coarsestVoltsPerDivision);
    coarse.centreVolts = (fromVolts + toVolts) / 2;
    setTimebase(scope, span, 0.1, coarse);
    coarse.averages = std::min(fine.averages, 16);
    coarse.resolutionVolts = resolutionOf(scope, coarse.voltsPerDivision, coarse.averages);
    return p;
}

Acquisition planGlitch(double levelVolts, double expectedPeakVolts, double lobeSeconds,
                       const ScopeCapabilities& scope, int averages) {
    Acquisition a;
    const double halfHeight = 0.75 * scope.verticalDivisions / 2;
    a.voltsPerDivision = std::clamp(niceAbove(std::abs(expectedPeakVolts) / halfHeight),
                                    scope.finestVoltsPerDivision, scope.coarsestVoltsPerDivision);
    a.centreVolts = levelVolts;
    setTimebase(scope, 40 * lobeSeconds, 0.1, a);
    a.averages = averages > 0 ? averages : 64;
    a.resolutionVolts = resolutionOf(scope, a.voltsPerDivision, a.averages);
    return a;
}

std::optional<double> roughSettlingSeconds(const Waveform& coarse, double fromVolts, double toVolts,
                                           double bandVolts) {
    const std::size_t n = coarse.volts.size();
    if (n < 50 || !(coarse.intervalSeconds > 0) || !(bandVolts > 0)) {
        return std::nullopt;
    }
    const double direction = toVolts > fromVolts ? 1 : -1;
    const Spread tail = spreadOf(coarse.volts, n - n / 5, n);
    const double resolution = std::hypot(tail.sd, quantisationVolts(coarse));
    const double shown = std::max({4 * resolution, 2 * coarse.codeVolts, bandVolts});
    std::vector<double> deviation(n);
    for (std::size_t i = 0; i < n; ++i) {
        deviation[i] = direction * (tail.mean - coarse.volts[i]);
    }
    const std::vector<double> smoothed = movingAverage(deviation, 9);
    std::size_t exit = n;
    for (std::size_t i = n; i-- > 0 && coarse.timeOf(i) >= 0;) {
        if (std::abs(smoothed[i]) > shown) {
            exit = i;
            break;
        }
    }
    if (exit == n) {
        return std::nullopt;
    }
    // The slope where the output leaves ±shown, from the samples between
    // twice that and half of it.
    std::size_t from = exit, to = exit;
    while (from > 0 && std::abs(smoothed[from]) < 2 * shown) {
        --from;
    }
    while (to + 1 < n && std::abs(smoothed[to]) > shown / 2) {
        ++to;
    }
    std::vector<double> t(n);
    for (std::size_t i = 0; i < n; ++i) {
        t[i] = coarse.timeOf(i);
    }
    const Line l = fitLine(t, deviation, from, to + 1, t[exit]);
    if (!(std::abs(l.slope) > 0)) {
        return std::nullopt;
    }
    const double tau = shown / std::abs(l.slope);
    return coarse.timeOf(exit) + tau * std::log(shown / bandVolts);
}

namespace {

// The least and the largest sample of each of `pairs` equal spans of
// [from, to), in time order.
void reduce(const Waveform& w, std::size_t from, std::size_t to, std::size_t pairs,
            std::vector<std::pair<double, double>>& out) {
    if (to <= from || pairs == 0) {
        return;
    }
    const std::size_t count = to - from;
    if (count <= 2 * pairs) {
        for (std::size_t i = from; i < to; ++i) {
            out.emplace_back(w.timeOf(i), w.volts[i]);
        }
        return;
    }
    for (std::size_t k = 0; k < pairs; ++k) {
        const std::size_t lo = from + count * k / pairs, hi = from + count * (k + 1) / pairs;
        const auto [least, largest] =
            std::minmax_element(w.volts.begin() + static_cast<std::ptrdiff_t>(lo),
                                w.volts.begin() + static_cast<std::ptrdiff_t>(hi));
        auto a = static_cast<std::size_t>(least - w.volts.begin());
        auto b = static_cast<std::size_t>(largest - w.volts.begin());
        if (a > b) {
            std::swap(a, b);
        }
        out.emplace_back(w.timeOf(a), w.volts[a]);
        if (b != a) {
            out.emplace_back(w.timeOf(b), w.volts[b]);
        }
    }
}

} // namespace

std::vector<std::pair<double, double>> compactWaveform(const Waveform& w, double keepFromSeconds,
                                                       double keepToSeconds,
                                                       std::size_t maxPoints) {
    std::vector<std::pair<double, double>> out;
    const std::size_t n = w.volts.size();
    if (n <= maxPoints || !(w.intervalSeconds > 0)) {
        for (std::size_t i = 0; i < n; ++i) {
            out.emplace_back(w.timeOf(i), w.volts[i]);
        }
        return out;
    }
    const auto index = [&](double seconds) {
        const double i = std::ceil((seconds - w.startSeconds) / w.intervalSeconds);
        return static_cast<std::size_t>(std::clamp(i, 0.0, static_cast<double>(n)));
    };
    const std::size_t keepFrom = index(keepFromSeconds),
                      keepTo = std::max(keepFrom, index(keepToSeconds));
    const std::size_t kept = keepTo - keepFrom, rest = n - kept;
    // Half the points to the settling region, or all it needs; the rest
    // share the others in proportion to their samples.
    const std::size_t keptPairs = std::min(kept / 2 + 1, maxPoints / 4);
    const std::size_t restPairs = maxPoints / 2 - keptPairs;
    const std::size_t beforePairs = rest == 0 ? 0 : restPairs * keepFrom / rest;
    reduce(w, 0, keepFrom, beforePairs, out);
    reduce(w, keepFrom, keepTo, keptPairs, out);
    reduce(w, keepTo, n, restPairs - beforePairs, out);
    return out;
}

} // namespace qd::measure

#pragma once

// The small statistics the dynamic figures share: a record's levels and
// spread, whether its transfer rounded the average to whole codes, and
// least-squares lines and parabolas whose uncertainty counts the
// residuals' correlation. Used by Dynamic.cpp and its tests.

#include "measure/Waveform.h"

#include <cstddef>
#include <string>
#include <vector>

namespace qd::measure {

inline constexpr double kRootThree = 1.7320508075688772;
inline constexpr double kRootTwelve = 3.4641016151377544;

struct Spread {
    double mean = 0;
    double sd = 0;        // of one sample
    double inflation = 1; // of a mean's uncertainty for correlated samples
    std::size_t count = 0;
    // The standard uncertainty of the mean.
    double meanUncertainty() const;
};

// Samples [from, to) of `values`.
Spread spreadOf(const std::vector<double>& values, std::size_t from, std::size_t to);

// The factor by which correlated residuals (lag-one correlation ρ, as a
// first-order process) widen a fit's uncertainty: √((1+ρ)/(1−ρ)), ρ
// taken from 0 to 0.95.
double correlationInflation(const std::vector<double>& residuals);

// Whether every sample is a whole number of codes from the first: the
// transfer rounded the average (a byte-wide transfer of averaged data).
bool roundedToCodes(const Waveform& w);

// A sample's quantisation as a standard uncertainty: a code/√12, and
// averaged down by √N only where the transfer kept the average's fraction.
double quantisationVolts(const Waveform& w);

// The mean and spread of a steady stretch of a record whose transfer
// rounded the average to whole codes, as the normal distribution before
// the rounding whose codes' counts are the most likely (the rounding
// biases a plain mean by up to (code/π)·exp(−2π²σ²/code²), a fifth of a
// code when the noise σ is a quarter of one). Samples [from, to).
struct SteadyLevel {
    double mean = 0, meanUncertainty = 0; // volts, standard
    double sd = 0;                        // of one sample before the rounding
};
SteadyLevel roundedLevel(const Waveform& w, std::size_t from, std::size_t to);

// That bias's rms over values spread across the codes, for a record whose
// noise before the rounding is `sd`: (code/π)·exp(−2π²sd²/code²)/√2; 0
// where the transfer kept the fraction.
double roundingBias(const Waveform& w, double sd);

struct Line {
    double intercept = 0, slope = 0;
    double slopeUncertainty = 0; // standard
    double residualSd = 0;
};
// y against x over [from, to), x centred at x0.
Line fitLine(const std::vector<double>& x, const std::vector<double>& y, std::size_t from,
             std::size_t to, double x0);

struct Parabola {
    double c[3] = {0, 0, 0}; // y = c0 + c1 x + c2 x², x from x0
    double x0 = 0;
    double cov[3][3] = {}; // of the coefficients, residual variance and correlation counted
    bool ok = false;
    double at(double x) const { return c[0] + c[1] * x + c[2] * x * x; }
    double slopeAt(double x) const { return c[1] + 2 * c[2] * x; }
    // The standard uncertainty of at(x).
    double uncertaintyAt(double x) const;
};
Parabola fitParabola(const std::vector<double>& x, const std::vector<double>& y, std::size_t from,
                     std::size_t to, double x0);

// A centred moving average of `width` samples (odd), narrower at the ends.
std::vector<double> movingAverage(const std::vector<double>& values, std::size_t width);

// Volts, seconds and volt-seconds as a message says them: "0.42 mV",
// "7.1 µs", "0.05 nV·s".
std::string voltsText(double v);
// "1 acquisition", "64 averages".
std::string averagesText(int averages);
std::string microsecondsText(double seconds);
std::string nanovoltSecondsText(double voltSeconds);

} // namespace qd::measure

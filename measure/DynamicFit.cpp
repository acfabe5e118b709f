#include "measure/DynamicFit.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace qd::measure {

double Spread::meanUncertainty() const {
    return count == 0 ? 0 : sd * inflation / std::sqrt(static_cast<double>(count));
}

Spread spreadOf(const std::vector<double>& values, std::size_t from, std::size_t to) {
    Spread s;
    to = std::min(to, values.size());
    if (from >= to) {
        return s;
    }
    s.count = to - from;
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) {
        sum += values[i];
    }
    s.mean = sum / static_cast<double>(s.count);
    std::vector<double> residuals;
    residuals.reserve(s.count);
    double squares = 0;
    for (std::size_t i = from; i < to; ++i) {
        residuals.push_back(values[i] - s.mean);
        squares += residuals.back() * residuals.back();
    }
    s.sd = s.count > 1 ? std::sqrt(squares / static_cast<double>(s.count - 1)) : 0;
    s.inflation = correlationInflation(residuals);
    return s;
}

double correlationInflation(const std::vector<double>& residuals) {
    double lagged = 0, squares = 0;
    for (std::size_t i = 0; i < residuals.size(); ++i) {
        squares += residuals[i] * residuals[i];
        if (i > 0) {
            lagged += residuals[i] * residuals[i - 1];
        }
    }
    const double rho = squares > 0 ? std::clamp(lagged / squares, 0.0, 0.95) : 0;
    return std::sqrt((1 + rho) / (1 - rho));
}

bool roundedToCodes(const Waveform& w) {
    if (!(w.codeVolts > 0) || w.volts.empty()) {
        return false;
    }
    std::size_t whole = 0;
    for (const double v : w.volts) {
        const double codes = (v - w.volts.front()) / w.codeVolts;
        whole += std::abs(codes - std::round(codes)) < 1e-3 ? 1 : 0;
    }
    return static_cast<double>(whole) >= 0.99 * static_cast<double>(w.volts.size());
}

double quantisationVolts(const Waveform& w) {
    const double q = w.codeVolts / kRootTwelve;
    return roundedToCodes(w) ? q : q / std::sqrt(static_cast<double>(std::max(1, w.averages)));
}

namespace {

double normalCdf(double z) {
    return 0.5 * std::erfc(-z / std::sqrt(2.0));
}

// The log-likelihood of codes' counts (code k + lowest at counts[k]) for a
// normal of mean mu and spread sigma, in codes.
double logLikelihood(const std::vector<double>& counts, double lowest, double mu, double sigma) {
    double sum = 0;
    for (std::size_t k = 0; k < counts.size(); ++k) {
        if (counts[k] > 0) {
            const double c = lowest + static_cast<double>(k);
            const double p = normalCdf((c + 0.5 - mu) / sigma) - normalCdf((c - 0.5 - mu) / sigma);
            sum += counts[k] * std::log(std::max(p, 1e-300));
        }
    }
    return sum;
}

// The argument of the largest of a unimodal f on [a, b].
template <typename F> double golden(F f, double a, double b) {
    const double r = (std::sqrt(5.0) - 1) / 2;
    for (int i = 0; i < 60; ++i) {
        const double x1 = b - r * (b - a), x2 = a + r * (b - a);
        (f(x1) < f(x2) ? a : b) = f(x1) < f(x2) ? x1 : x2;
    }
    return (a + b) / 2;
}

} // namespace

SteadyLevel roundedLevel(const Waveform& w, std::size_t from, std::size_t to) {
    const Spread plain = spreadOf(w.volts, from, to);
    SteadyLevel level{plain.mean, plain.meanUncertainty(), plain.sd};
    if (!roundedToCodes(w) || plain.count < 10) {
        return level;
    }
    const double origin = w.volts.front();
    std::vector<double> codes;
    for (std::size_t i = from; i < to; ++i) {
        codes.push_back(std::round((w.volts[i] - origin) / w.codeVolts));
    }
    const auto range = std::minmax_element(codes.begin(), codes.end());
    const double lowest = *range.first;
    std::vector<double> counts(static_cast<std::size_t>(*range.second - lowest) + 1, 0);
    for (const double c : codes) {
        counts[static_cast<std::size_t>(c - lowest)] += 1;
    }
    const double centre = (plain.mean - origin) / w.codeVolts;
    const auto bestMu = [&](double sigma) {
        return golden([&](double mu) { return logLikelihood(counts, lowest, mu, sigma); },
                      centre - 1, centre + 1);
    };
    const double sigma =
        golden([&](double s) { return logLikelihood(counts, lowest, bestMu(s), s); }, 0.02,
               std::max(1.0, 2 * plain.sd / w.codeVolts));
    const double mu = bestMu(sigma);
    // The mean's variance from the likelihood's curvature, the spread held.
    const double h = 1e-3;
    const double curvature = (logLikelihood(counts, lowest, mu + h, sigma) -
                              2 * logLikelihood(counts, lowest, mu, sigma) +
                              logLikelihood(counts, lowest, mu - h, sigma)) /
                             (h * h);
    level.mean = origin + mu * w.codeVolts;
    level.sd = sigma * w.codeVolts;
    level.meanUncertainty = curvature < 0 ? w.codeVolts / std::sqrt(-curvature) * plain.inflation
                                          : w.codeVolts / kRootTwelve;
    return level;
}

double roundingBias(const Waveform& w, double sd) {
    if (!roundedToCodes(w)) {
        return 0;
    }
    const double x = sd / w.codeVolts;
    return w.codeVolts / std::numbers::pi *
           std::exp(-2 * std::numbers::pi * std::numbers::pi * x * x) / std::sqrt(2.0);
}

Line fitLine(const std::vector<double>& x, const std::vector<double>& y, std::size_t from,
             std::size_t to, double x0) {
    Line l;
    const double n = static_cast<double>(to - from);
    if (to <= from + 2) {
        return l;
    }
    double sx = 0, sy = 0;
    for (std::size_t i = from; i < to; ++i) {
        sx += x[i] - x0;
        sy += y[i];
    }
    const double mx = sx / n, my = sy / n;
    double sxx = 0, sxy = 0;
    for (std::size_t i = from; i < to; ++i) {
        sxx += (x[i] - x0 - mx) * (x[i] - x0 - mx);
        sxy += (x[i] - x0 - mx) * (y[i] - my);
    }
    l.slope = sxx > 0 ? sxy / sxx : 0;
    l.intercept = my - l.slope * mx;
    std::vector<double> residuals;
    double squares = 0;
    for (std::size_t i = from; i < to; ++i) {
        residuals.push_back(y[i] - l.intercept - l.slope * (x[i] - x0));
        squares += residuals.back() * residuals.back();
    }
    l.residualSd = std::sqrt(squares / (n - 2));
    l.slopeUncertainty =
        sxx > 0 ? l.residualSd * correlationInflation(residuals) / std::sqrt(sxx) : 0;
    return l;
}

namespace {

// The inverse of a symmetric 3×3 matrix; false when it is singular.
bool invert(const double a[3][3], double out[3][3]) {
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    if (!(std::abs(det) > 0) || !std::isfinite(det)) {
        return false;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            // Cofactor of (c, r), for the transpose.
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            out[r][c] = (a[r1][c1] * a[r2][c2] - a[r1][c2] * a[r2][c1]) / det;
        }
    }
    return true;
}

} // namespace

double Parabola::uncertaintyAt(double x) const {
    const double g[3] = {1, x, x * x};
    double v = 0;
    for (int r = 0; r < 3; ++r) {
        for (int k = 0; k < 3; ++k) {
            v += g[r] * cov[r][k] * g[k];
        }
    }
    return std::sqrt(std::max(0.0, v));
}

Parabola fitParabola(const std::vector<double>& x, const std::vector<double>& y, std::size_t from,
                     std::size_t to, double x0) {
    Parabola p;
    p.x0 = x0;
    if (to < from + 6) {
        return p;
    }
    double a[3][3] = {}, b[3] = {};
    for (std::size_t i = from; i < to; ++i) {
        const double u = x[i] - x0;
        const double g[3] = {1, u, u * u};
        for (int r = 0; r < 3; ++r) {
            b[r] += g[r] * y[i];
            for (int c = 0; c < 3; ++c) {
                a[r][c] += g[r] * g[c];
            }
        }
    }
    double inverse[3][3];
    if (!invert(a, inverse)) {
        return p;
    }
    for (int r = 0; r < 3; ++r) {
        p.c[r] = inverse[r][0] * b[0] + inverse[r][1] * b[1] + inverse[r][2] * b[2];
    }
    std::vector<double> residuals;
    double squares = 0;
    for (std::size_t i = from; i < to; ++i) {
        residuals.push_back(y[i] - p.at(x[i] - x0));
        squares += residuals.back() * residuals.back();
    }
    const double variance = squares / static_cast<double>(to - from - 3);
    const double widen = correlationInflation(residuals);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            p.cov[r][c] = inverse[r][c] * variance * widen * widen;
        }
    }
    p.ok = true;
    return p;
}

std::vector<double> movingAverage(const std::vector<double>& values, std::size_t width) {
    const std::size_t half = width / 2;
    std::vector<double> sums(values.size() + 1, 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        sums[i + 1] = sums[i] + values[i];
    }
    std::vector<double> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t lo = i >= half ? i - half : 0;
        const std::size_t hi = std::min(values.size(), i + half + 1);
        out[i] = (sums[hi] - sums[lo]) / static_cast<double>(hi - lo);
    }
    return out;
}

std::string averagesText(int averages) {
    return averages == 1 ? "1 acquisition" : std::to_string(averages) + " averages";
}

std::string voltsText(double v) {
    const double size = std::abs(v);
    const char* unit = size >= 1 ? "V" : size >= 1e-3 ? "mV" : "µV";
    const double scale = size >= 1 ? 1 : size >= 1e-3 ? 1e3 : 1e6;
    char text[48];
    std::snprintf(text, sizeof text, "%.3g %s", v * scale + 0.0, unit);
    return text;
}

std::string microsecondsText(double seconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%.3g µs", seconds * 1e6 + 0.0);
    return text;
}

std::string nanovoltSecondsText(double voltSeconds) {
    char text[48];
    std::snprintf(text, sizeof text, "%.3g nV·s", voltSeconds * 1e9 + 0.0);
    return text;
}

} // namespace qd::measure

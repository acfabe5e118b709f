#include "measure/Extremes.h"

#include "measure/Figures.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <numeric>
#include <utility>

namespace qd::measure {

namespace {

// Standard uncertainties beyond which a value has no chance to matter.
constexpr double kReach = 8;
// Steps of the numerical integration over the maximum's range (16
// standard uncertainties of the widest value): fine enough that the
// maximum's mean and spread are exact to well under a hundredth of one.
constexpr int kSteps = 400;
// Up to the carries into this many top bits for the quadratics.
constexpr int kMostTopBits = 6;

// P(X <= t) for X normal about `m` with `s`; a step for a value known
// exactly.
double below(double t, double m, double s) {
    return s > 0 ? 0.5 * std::erfc((m - t) / (s * std::numbers::sqrt2)) : (t >= m ? 1.0 : 0.0);
}

double density(double t, double m, double s) {
    const double z = (t - m) / s;
    return std::exp(-z * z / 2) / (s * std::sqrt(2 * std::numbers::pi));
}

// The distribution of the largest of independent normal values, each about
// `m` with `s`: P(max <= t) is the product of their P(X <= t).
struct MaximumLaw {
    double mean = 0, sd = 0;
    std::vector<double> chance; // each value's chance to be the largest
};

// Values alike within a fiftieth of their standard uncertainty (and a
// hundredth of it apart), counted as one: a sweep of every code has tens
// of thousands of values, but only hundreds of such groups.
struct Group {
    double m = 0, s = 0, count = 0;
};

std::vector<Group> groups(const std::vector<double>& m, const std::vector<double>& s,
                          std::vector<std::size_t>& of) {
    std::vector<std::pair<double, double>> key(m.size());
    for (std::size_t i = 0; i < m.size(); ++i) {
        key[i] = s[i] > 0
                     ? std::pair{std::round(std::log(s[i]) * 100), std::round(m[i] * 50 / s[i])}
                     : std::pair{-std::numeric_limits<double>::infinity(), m[i]};
    }
    std::vector<std::size_t> order(m.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(),
              [&key](std::size_t a, std::size_t b) { return key[a] < key[b]; });
    std::vector<Group> out;
    of.assign(m.size(), 0);
    for (std::size_t j = 0; j < order.size(); ++j) {
        const std::size_t i = order[j];
        if (j == 0 || key[i] != key[order[j - 1]]) {
            out.push_back({});
        }
        Group& g = out.back();
        g.m += (m[i] - g.m) / (g.count + 1);
        g.s += (s[i] - g.s) / (g.count + 1);
        g.count += 1;
        of[i] = out.size() - 1;
    }
    return out;
}

MaximumLaw maximumOf(const std::vector<double>& m, const std::vector<double>& s) {
    // The maximum lies above every value's reach downwards, and below the
    // highest reach upwards.
    double low = -std::numeric_limits<double>::infinity(), high = low, widest = 0;
    for (std::size_t i = 0; i < m.size(); ++i) {
        low = std::max(low, m[i] - kReach * s[i]);
        high = std::max(high, m[i] + kReach * s[i]);
        widest = std::max(widest, s[i]);
    }
    MaximumLaw law{low, 0, std::vector<double>(m.size(), 0.0)};
    if (!(high > low)) {
        return law;
    }
    std::vector<std::size_t> of;
    std::vector<Group> g = groups(m, s, of);
    // From the highest down: those beyond their reach below t are below it
    // for certain, and once the product is 0 it stays 0.
    std::vector<std::size_t> byHeight(g.size());
    std::iota(byHeight.begin(), byHeight.end(), std::size_t{0});
    std::sort(byHeight.begin(), byHeight.end(),
              [&g](std::size_t a, std::size_t b) { return g[a].m > g[b].m; });
    std::vector<double> chance(g.size(), 0.0), cdf(g.size());
    const double h = (high - low) / kSteps;
    double first = 0, second = 0; // of max - low: the integrals of P(max > t)
    for (int k = 0; k < kSteps; ++k) {
        const double t = low + (k + 0.5) * h;
        double all = 1;
        std::size_t seen = 0;
        for (; seen < g.size() && all > 0 && g[byHeight[seen]].m + kReach * widest > t; ++seen) {
            const Group& q = g[byHeight[seen]];
            cdf[seen] = below(t, q.m, q.s);
            all *= q.count > 1 ? std::pow(cdf[seen], q.count) : cdf[seen];
        }
        first += (1 - all) * h;
        second += 2 * (t - low) * (1 - all) * h;
        for (std::size_t j = 0; j < seen; ++j) {
            const Group& q = g[byHeight[j]];
            if (q.s > 0 && cdf[j] > 0) {
                // Each of the group's values: the others below t, itself at it.
                chance[byHeight[j]] += h * density(t, q.m, q.s) * all / cdf[j];
            }
        }
    }
    for (std::size_t i = 0; i < m.size(); ++i) {
        law.chance[i] = chance[of[i]];
    }
    law.mean = low + first;
    law.sd = std::sqrt(std::max(0.0, second - first * first));
    return law;
}

// The maximum's law averaged over the line's noise: its mean and its
// chances as the average over the line, its variance as the average
// variance with the variance of the means.
MaximumLaw overTheLine(const std::vector<double>& m, const std::vector<double>& s,
                       const LineNoise& line) {
    const double root3 = std::sqrt(3.0);
    constexpr double kOuter = 1.0 / 6, kInner = 2.0 / 3;
    const std::array<std::pair<double, double>, 3> nodes{
        {{-root3, kOuter}, {0.0, kInner}, {root3, kOuter}}};
    MaximumLaw law{0, 0, std::vector<double>(m.size(), 0.0)};
    double second = 0;
    std::vector<double> moved(m.size());
    for (const auto& [a, wa] : nodes) {
        for (const auto& [b, wb] : nodes) {
            for (std::size_t i = 0; i < m.size(); ++i) {
                moved[i] = m[i] + line.first[i] * a + line.second[i] * b;
            }
            const MaximumLaw part = maximumOf(moved, s);
            const double w = wa * wb;
            law.mean += w * part.mean;
            second += w * (part.sd * part.sd + part.mean * part.mean);
            for (std::size_t i = 0; i < m.size(); ++i) {
                law.chance[i] += w * part.chance[i];
            }
        }
    }
    law.sd = std::sqrt(std::max(0.0, second - law.mean * law.mean));
    return law;
}

using Row = std::array<double, 3>;
using Matrix = std::array<Row, 3>;

// The weighted least-squares quadratic (a line, a constant, when fewer
// codes) of the codes first to last that have noise; those known exactly
// keep their value.
struct Segment {
    std::size_t first = 0, last = 0;
    int terms = 0;
    double centre = 0, half = 1;
    Matrix normal{}; // sum of w r r^T over the segment's rows r

    Row row(std::int32_t code) const {
        const double u = (code - centre) / half;
        return {1.0, u, u * u};
    }
};

// Solves normal x = b over the segment's terms, by elimination (the
// normal matrix of distinct codes is positive definite).
Row solve(const Segment& seg, Row b) {
    Matrix a = seg.normal;
    const int n = seg.terms;
    for (int c = 0; c < n; ++c) {
        for (int r = c + 1; r < n; ++r) {
            const double f = a[r][c] / a[c][c];
            for (int k = c; k < n; ++k) {
                a[r][k] -= f * a[c][k];
            }
            b[r] -= f * b[c];
        }
    }
    Row x{};
    for (int r = n - 1; r >= 0; --r) {
        double sum = b[r];
        for (int k = r + 1; k < n; ++k) {
            sum -= a[r][k] * x[k];
        }
        x[r] = sum / a[r][r];
    }
    return x;
}

double dot(const Row& a, const Row& b, int terms) {
    double sum = 0;
    for (int k = 0; k < terms; ++k) {
        sum += a[k] * b[k];
    }
    return sum;
}

// The runs of codes that share their top `topBits` bits, with the normal
// matrices of the codes among them that enter the fit (weight above 0).
std::vector<Segment> segments(const std::vector<std::int32_t>& codes, const std::vector<double>& w,
                              int bits, int topBits) {
    std::vector<Segment> out;
    const int shift = bits - topBits;
    std::size_t first = 0;
    for (std::size_t i = 1; i <= codes.size(); ++i) {
        if (i < codes.size() && codes[i] >> shift == codes[first] >> shift) {
            continue;
        }
        Segment seg{first, i};
        seg.centre = (codes[first] + codes[i - 1]) / 2.0;
        seg.half = std::max(1.0, (codes[i - 1] - codes[first]) / 2.0);
        int entering = 0;
        for (std::size_t k = first; k < i; ++k) {
            entering += w[k] > 0 ? 1 : 0;
        }
        seg.terms = std::min(entering, 3);
        for (std::size_t k = first; k < i; ++k) {
            const Row r = seg.row(codes[k]);
            for (int a = 0; a < seg.terms; ++a) {
                for (int b = 0; b < seg.terms; ++b) {
                    seg.normal[a][b] += w[k] * r[a] * r[b];
                }
            }
        }
        out.push_back(seg);
        first = i;
    }
    return out;
}

// A shape for the values: each code's value with its noise smoothed away.
struct Shape {
    int topBits = -1; // -1: every code its own value
    std::vector<double> values;
    std::vector<double> weights; // of the codes whose value is the fit's
    double cp = 0;               // Mallows' Cp: weighted residuals + twice the parameters
};

Shape rawShape(const std::vector<double>& values, const std::vector<double>& s) {
    Shape shape{-1, values, std::vector<double>(values.size(), 0.0), 0};
    for (const double u : s) {
        shape.cp += u > 0 ? 2 : 0;
    }
    return shape;
}

// The quadratics of the codes with weight, each code's value the fit's;
// the others keep their own, and the weighted residuals' squares.
double fitSegments(Shape& shape, const std::vector<std::int32_t>& codes,
                   const std::vector<double>& values, int bits) {
    double squares = 0;
    for (const Segment& seg : segments(codes, shape.weights, bits, shape.topBits)) {
        Row b{};
        for (std::size_t k = seg.first; k < seg.last; ++k) {
            const Row r = seg.row(codes[k]);
            for (int a = 0; a < seg.terms; ++a) {
                b[a] += shape.weights[k] * r[a] * values[k];
            }
        }
        const Row beta = solve(seg, b);
        for (std::size_t k = seg.first; k < seg.last; ++k) {
            shape.values[k] = values[k];
            if (shape.weights[k] > 0) {
                shape.values[k] = dot(seg.row(codes[k]), beta, seg.terms);
                squares += shape.weights[k] * (values[k] - shape.values[k]) *
                           (values[k] - shape.values[k]);
            }
        }
        shape.cp += 2 * seg.terms;
    }
    return squares;
}

// A code that stands out of its quadratic by more than the noise reaches
// over all codes at once (about 95 %) is a feature of the converter, not
// noise: a single code's spike, which a quadratic would smooth away and
// the excess then take off the spike as if it were noise. It keeps its own
// value, one parameter more, and the quadratics are fitted again without
// it.
Shape quadraticShape(const std::vector<std::int32_t>& codes, const std::vector<double>& values,
                     const std::vector<double>& s, int bits, int topBits) {
    Shape shape{topBits, values, std::vector<double>(values.size(), 0.0), 0};
    std::size_t noisy = 0;
    for (std::size_t k = 0; k < s.size(); ++k) {
        shape.weights[k] = s[k] > 0 ? 1 / (s[k] * s[k]) : 0.0;
        noisy += s[k] > 0 ? 1 : 0;
    }
    fitSegments(shape, codes, values, bits);
    const double reach = extremeCoverage(noisy);
    double flagged = 0;
    for (std::size_t k = 0; k < s.size(); ++k) {
        if (shape.weights[k] > 0 && std::abs(values[k] - shape.values[k]) > reach * s[k]) {
            shape.weights[k] = 0;
            ++flagged;
        }
    }
    shape.cp = 0;
    const double squares = fitSegments(shape, codes, values, bits);
    shape.cp += squares + 2 * flagged;
    return shape;
}

// What the shape's own noise adds to the variance of max - excess, to
// first order: the variance of the excess, sum(gradient x shape), less
// twice its covariance with the maximum, which moves with each value by
// its chance to be the largest. For the fit's values, through
// (X^T W X)^-1 between the sums over each segment; for the others, their
// own.
double varianceThrough(const Shape& shape, const std::vector<std::int32_t>& codes,
                       const std::vector<double>& s, int bits, const std::vector<double>& gradient,
                       const std::vector<double>& chance) {
    double variance = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!(shape.weights[i] > 0)) {
            variance += (gradient[i] * gradient[i] - 2 * chance[i] * gradient[i]) * s[i] * s[i];
        }
    }
    if (shape.topBits < 0) {
        return variance;
    }
    for (const Segment& seg : segments(codes, shape.weights, bits, shape.topBits)) {
        Row c{}, d{};
        for (std::size_t k = seg.first; k < seg.last; ++k) {
            if (shape.weights[k] > 0) {
                const Row r = seg.row(codes[k]);
                for (int a = 0; a < seg.terms; ++a) {
                    c[a] += gradient[k] * r[a];
                    d[a] += chance[k] * r[a];
                }
            }
        }
        const Row solved = solve(seg, c);
        variance += dot(c, solved, seg.terms) - 2 * dot(d, solved, seg.terms);
    }
    return variance;
}

std::size_t largestAt(const std::vector<double>& values) {
    return static_cast<std::size_t>(std::max_element(values.begin(), values.end()) -
                                    values.begin());
}

} // namespace

ExtremeEstimate estimateLargest(const std::vector<std::int32_t>& codes,
                                const std::vector<double>& values,
                                const std::vector<double>& uncertainties, int bits, bool smooth,
                                const LineNoise* line) {
    ExtremeEstimate e;
    e.index = largestAt(values);
    Shape best = rawShape(values, uncertainties);
    for (int top = 0; smooth && top <= std::min(kMostTopBits, bits); ++top) {
        Shape candidate = quadraticShape(codes, values, uncertainties, bits, top);
        if (candidate.cp < best.cp) {
            best = std::move(candidate);
        }
    }
    const MaximumLaw law = line != nullptr ? overTheLine(best.values, uncertainties, *line)
                                           : maximumOf(best.values, uncertainties);
    const std::size_t peak = largestAt(best.values);
    // The excess is E[max] - max(shape): its gradient in the shape's values
    // is each one's chance to be the largest, less 1 at the shape's peak.
    std::vector<double> gradient = law.chance;
    gradient[peak] -= 1;
    e.value = values[e.index] - (law.mean - best.values[peak]);
    e.uncertainty =
        std::sqrt(std::max(0.0, law.sd * law.sd + varianceThrough(best, codes, uncertainties, bits,
                                                                  gradient, law.chance)));
    return e;
}

} // namespace qd::measure

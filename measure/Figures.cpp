#include "measure/Figures.h"

#include "control/DataWord.h"
#include "measure/Extremes.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace qd::measure {

void CodeSamples::add(double volts) {
    ++n_;
    const double delta = volts - mean_;
    mean_ += delta / static_cast<double>(n_);
    m2_ += delta * (volts - mean_);
}

const char* monotonicWord(Monotonic m) {
    switch (m) {
    case Monotonic::No:
        return "no";
    case Monotonic::Unresolved:
    case Monotonic::NotMeasured:
        return "not shown";
    case Monotonic::Yes:
        break;
    }
    return "yes";
}

double extremeCoverage(std::size_t count) {
    // Šidák: each of `count` values within z with 0.95^(1/count), so that
    // all of them are with 95 %. Solved for z by halving, on the normal
    // tail 0.5 * erfc(z / sqrt 2).
    const double tail =
        (1 - std::pow(0.95, 1.0 / static_cast<double>(std::max<std::size_t>(count, 1)))) / 2;
    double low = 0, high = 40;
    for (int i = 0; i < 100; ++i) {
        const double z = (low + high) / 2;
        (0.5 * std::erfc(z / std::sqrt(2.0)) > tail ? low : high) = z;
    }
    return std::max(2.0, (low + high) / 2);
}

namespace {

struct Point {
    std::int32_t code;
    double volts;
    double u; // standard uncertainty of the mean
};

const Point& at(const std::vector<Point>& points, std::int32_t code) {
    const auto it = std::lower_bound(points.begin(), points.end(), code,
                                     [](const Point& p, std::int32_t c) { return p.code < c; });
    if (it == points.end() || it->code != code) {
        throw std::invalid_argument("code " + std::to_string(code) + " was not measured");
    }
    return *it;
}

std::optional<double> expanded(bool known, double k, double u) {
    return known ? std::optional<double>(k * u) : std::nullopt;
}

// Takes `e` into the span: as both ends when it is the first value.
void widen(Span& span, const Extreme& e, bool first) {
    if (first || e.value < span.min.value) {
        span.min = e;
    }
    if (first || e.value > span.max.value) {
        span.max = e;
    }
}

// The run of measured codes outside the fit range, from the end code
// inwards (code 0 up, or the largest code down), whose output keeps within
// its uncertainty of the end code's. It sits on a rail when the best-fit
// line says some of them should have moved away by more than that
// uncertainty and the meter's step together: a quantizing meter shows
// neighbouring codes alike without any rail. All of the run's comparisons
// hold together at about 95 %, as the largest of many values' do. Without
// a spread to tell the uncertainty (`known` false), only equal readings
// are alike.
template <typename Iterator>
void noteRail(Figures& f, Iterator first, Iterator last, const FitRange& fit, bool known,
              double meterStep, const char* rail) {
    const auto outside = [&fit](const Point& p) { return !fit.contains(p.code); };
    const auto count = static_cast<std::size_t>(std::find_if_not(first, last, outside) - first);
    const double k = known ? extremeCoverage(count) : 0.0;
    const Point& end = *first;
    std::int32_t along = end.code;
    bool pinned = false;
    for (auto it = first; it != last && outside(*it); ++it) {
        const double u = k * std::hypot(it->u, end.u);
        if (std::abs(it->volts - end.volts) > u) {
            break;
        }
        along = it->code;
        pinned = pinned || std::abs(it->code - end.code) * f.lsbVolts > u + meterStep;
    }
    if (pinned) {
        f.notes.push_back("codes " + control::formatCode(std::min(end.code, along)) + "–" +
                          control::formatCode(std::max(end.code, along)) + " at the output's " +
                          rail);
    }
}

// The lines a converter's figures are measured against: the endpoint line
// through the fit range's ends and the least-squares line over it.
struct Lines {
    const Point* a = nullptr; // the fit range's ends
    const Point* b = nullptr;
    double span = 0, slope = 0, intercept = 0;
    std::vector<const Point*> inFit;
    double meanX = 0, sxx = 0, bestIntercept = 0;
};

// Each measured code's spread pooled over every code: the variance of one
// reading, and its degrees of freedom.
std::pair<double, std::size_t> pooledVariance(const std::vector<CodeMeasurement>& measured) {
    double squares = 0;
    std::size_t freedom = 0;
    for (const auto& m : measured) {
        squares += m.samples.squares();
        freedom += m.samples.count() - std::min<std::size_t>(m.samples.count(), 1);
    }
    return {freedom > 0 ? squares / static_cast<double>(freedom) : 0.0, freedom};
}

// The least-squares slope over the fit range into `f.lsbVolts`, with what
// the INL needs of it in `lines`.
void fitBestLine(Figures& f, const std::vector<Point>& points, const FitRange& fit, Lines& lines) {
    double meanY = 0;
    for (const auto& p : points) {
        if (fit.contains(p.code)) {
            lines.inFit.push_back(&p);
            lines.meanX += p.code;
            meanY += p.volts;
        }
    }
    const double count = static_cast<double>(lines.inFit.size());
    lines.meanX /= count;
    meanY /= count;
    double sxy = 0;
    for (const Point* p : lines.inFit) {
        lines.sxx += (p->code - lines.meanX) * (p->code - lines.meanX);
        sxy += (p->code - lines.meanX) * (p->volts - meanY);
    }
    f.lsbVolts = sxy / lines.sxx;
    lines.bestIntercept = meanY - f.lsbVolts * lines.meanX;
}

// The span's ends as estimates of the true extremes, each with its
// expanded uncertainty (Extremes.h): the largest of `values` and the
// largest of their negatives. `own` is each value's uncertainty from its
// code's noise alone; `shared` a part that moves the codes near the
// extreme together, which does not lift the maximum and is only added to
// its uncertainty; `line` the noise of a line that moves them apart.
struct Noise {
    std::vector<double> own, shared;
    const LineNoise* line = nullptr;
};

void estimateSpan(Span& span, const std::vector<std::int32_t>& codes, std::vector<double> values,
                  const Noise& noise, int bits, bool smooth, double k) {
    const ExtremeEstimate high =
        estimateLargest(codes, values, noise.own, bits, smooth, noise.line);
    for (double& v : values) {
        v = -v;
    }
    const ExtremeEstimate low = estimateLargest(codes, values, noise.own, bits, smooth, noise.line);
    const auto shared = [&noise](std::size_t i) {
        return noise.shared.empty() ? 0.0 : noise.shared[i];
    };
    span.max = {{high.value, k * std::hypot(high.uncertainty, shared(high.index))},
                codes[high.index]};
    span.min = {{-low.value, k * std::hypot(low.uncertainty, shared(low.index))}, codes[low.index]};
}

// INL per code in the fit range against both lines, and their extremes.
void inlFigures(Figures& f, const FitRange& fit, const Lines& l, bool known, int bits) {
    const double count = static_cast<double>(l.inFit.size());
    std::vector<std::int32_t> codes;
    std::vector<double> endpoint, bestFit;
    // The endpoint line's noise is that of its two ends, which moves the
    // codes near one end apart from those near the other; the best-fit
    // line's, spread over every code, moves them all alike.
    LineNoise line;
    Noise endpointNoise{{}, {}, &line}, bestFitNoise;
    for (const Point* p : l.inFit) {
        const double t = (p->code - fit.first) / l.span;
        const bool end = p->code == fit.first || p->code == fit.last;
        const double leverage = 1 / count + (p->code - l.meanX) * (p->code - l.meanX) / l.sxx;
        CodeFigures c;
        c.code = p->code;
        c.inlEndpoint = (p->volts - (l.intercept + l.slope * p->code)) / l.slope;
        c.inlBestFit = (p->volts - (l.bestIntercept + f.lsbVolts * p->code)) / f.lsbVolts;
        codes.push_back(c.code);
        endpoint.push_back(c.inlEndpoint);
        bestFit.push_back(c.inlBestFit);
        endpointNoise.own.push_back(end ? 0.0 : p->u / l.slope);
        line.first.push_back(end ? 0.0 : (1 - t) * l.a->u / l.slope);
        line.second.push_back(end ? 0.0 : t * l.b->u / l.slope);
        bestFitNoise.own.push_back(p->u * std::sqrt(std::max(0.0, 1 - leverage)) / f.lsbVolts);
        bestFitNoise.shared.push_back(p->u * std::sqrt(std::min(1.0, leverage)) / f.lsbVolts);
        // Without a spread to tell the noise, the measured extremes as they are.
        widen(f.inlEndpoint, {{c.inlEndpoint, std::nullopt}, c.code}, f.codes.empty());
        widen(f.inlBestFit, {{c.inlBestFit, std::nullopt}, c.code}, f.codes.empty());
        f.codes.push_back(c);
    }
    if (known) {
        estimateSpan(f.inlEndpoint, codes, endpoint, endpointNoise, bits, true, f.singleCoverage);
        estimateSpan(f.inlBestFit, codes, bestFit, bestFitNoise, bits, true, f.singleCoverage);
    }
}

// Steps between neighbouring measured codes; those of one code are the
// DNL, and every one of them must rise for the output to be monotonic.
void stepFigures(Figures& f, const std::vector<const Point*>& inFit, bool known, int bits) {
    const double k = f.singleCoverage;
    std::size_t single = 0;
    for (std::size_t i = 1; i < inFit.size(); ++i) {
        single += inFit[i]->code - inFit[i - 1]->code == 1 ? 1 : 0;
    }
    bool down = false, unresolved = false;
    double leastClear = 0;
    std::vector<std::int32_t> stepCodes, everyCode;
    std::vector<double> dnl, own, fallPerCode, ownPerCode;
    bool first = true;
    for (std::size_t i = 1; i < inFit.size(); ++i) {
        const Point& lo = *inFit[i - 1];
        const Point& hi = *inFit[i];
        const double codes = hi.code - lo.code;
        const double rise = (hi.volts - lo.volts) / f.lsbVolts; // LSB
        const double u = std::hypot(lo.u, hi.u) / f.lsbVolts;
        down = down || rise < -k * u;
        if (!(rise > k * u)) {
            // The step least clear of 0 for its uncertainty is the one named.
            const double clear = u > 0 ? rise / (k * u) : 0.0;
            if (!unresolved || clear < leastClear) {
                leastClear = clear;
                f.unresolvedStep = {{rise / codes, expanded(known, k, u / codes)}, lo.code};
            }
            unresolved = true;
        }
        if (first || rise / codes < f.smallestStep.value) {
            f.smallestStep = {{rise / codes, expanded(known, k, u / codes)}, lo.code};
            first = false;
        }
        everyCode.push_back(lo.code);
        fallPerCode.push_back(-rise / codes);
        ownPerCode.push_back(u / codes);
        if (codes != 1) {
            continue;
        }
        widen(f.dnl, {{rise - 1, std::nullopt}, lo.code}, f.steps.empty());
        f.steps.push_back({lo.code, rise - 1});
        stepCodes.push_back(lo.code);
        dnl.push_back(rise - 1);
        own.push_back(u);
    }
    // DNL's steps have no shape to borrow from their neighbours: each is
    // its own. Two steps in a row share a code, which makes their noise
    // anticorrelated; taken as independent, their excess is a little
    // understated (0.56 against 0.69 standard uncertainties for a pair
    // alone), and the plans measure few such pairs.
    if (known && !dnl.empty()) {
        estimateSpan(f.dnl, stepCodes, dnl, {own, {}, nullptr}, bits, false, k);
    }
    // The smallest step is the least of many too. Where one step goes
    // down, the others are far above it and it keeps its value.
    if (known && !everyCode.empty()) {
        const ExtremeEstimate least =
            estimateLargest(everyCode, fallPerCode, ownPerCode, bits, false);
        f.smallestStep = {{-least.value, k * least.uncertainty}, everyCode[least.index]};
    }
    const bool everyStep = single + 1 == inFit.size();
    f.monotonic = down         ? Monotonic::No
                  : unresolved ? Monotonic::Unresolved
                  : everyStep  ? Monotonic::Yes
                               : Monotonic::NotMeasured;
}

} // namespace

Figures computeFigures(const std::vector<CodeMeasurement>& measured, const Setup& setup) {
    Figures f;
    const std::int32_t largest = (std::int32_t{1} << setup.bits) - 1;
    const FitRange fit = fitRange(setup.bits);
    f.idealLsbVolts = std::ldexp(setup.referenceVolts, -setup.bits);

    const auto [variance, freedom] = pooledVariance(measured);
    if (freedom > 0) {
        f.noiseVolts = std::sqrt(variance);
    }
    const bool known = freedom > 0 || setup.meterStepVolts > 0;
    const double quantization = setup.meterStepVolts * setup.meterStepVolts / 12;
    std::vector<Point> points;
    points.reserve(measured.size());
    for (const auto& m : measured) {
        const double n = static_cast<double>(std::max<std::size_t>(m.samples.count(), 1));
        points.push_back({m.code, m.samples.mean(), std::sqrt(variance / n + quantization)});
    }
    const double k = f.singleCoverage;
    const Point& zero = at(points, 0);
    const Point& top = at(points, largest);
    f.zeroCode = {zero.volts * 1000, expanded(known, k, zero.u * 1000)};
    const double idealTop = setup.referenceVolts * (1 - std::ldexp(1.0, -setup.bits));
    f.fullScale = {(top.volts - idealTop) / setup.referenceVolts * 100,
                   expanded(known, k, top.u / setup.referenceVolts * 100)};

    // The endpoint line through the fit range's ends.
    Lines lines;
    const Point& a = *(lines.a = &at(points, fit.first));
    const Point& b = *(lines.b = &at(points, fit.last));
    lines.span = fit.last - fit.first;
    lines.slope = (b.volts - a.volts) / lines.span;
    lines.intercept = a.volts - lines.slope * fit.first;
    f.offset = {lines.intercept * 1000, expanded(known, k,
                                                 1000 * std::hypot(a.u * fit.last / lines.span,
                                                                   b.u * fit.first / lines.span))};
    f.gain = {(lines.slope / f.idealLsbVolts - 1) * 100,
              expanded(known, k, std::hypot(a.u, b.u) / lines.span / f.idealLsbVolts * 100)};

    fitBestLine(f, points, fit, lines);
    if (!(f.lsbVolts > 0)) {
        f.response = f.lsbVolts < 0 ? Response::Falling : Response::Flat;
        f.monotonic = Monotonic::No;
        return f;
    }
    inlFigures(f, fit, lines, known, setup.bits);
    stepFigures(f, lines.inFit, known, setup.bits);
    noteRail(f, points.begin(), points.end(), fit, known, setup.meterStepVolts, "floor");
    noteRail(f, points.rbegin(), points.rend(), fit, known, setup.meterStepVolts, "ceiling");
    return f;
}

} // namespace qd::measure

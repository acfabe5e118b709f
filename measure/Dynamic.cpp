#include "measure/Dynamic.h"

#include "measure/DynamicFit.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace qd::measure {

namespace {

constexpr double kMicro = 1e6;
constexpr double kNano = 1e9;

void settle(DynamicFigure& f) {
    f.uncertainty = expandedUncertainty(f.budget);
}

// P(|N(0, σ²) + U(−a, a)| ≤ x).
double coverage(double sigma, double a, double x) {
    const auto phi = [](double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); };
    const auto density = [](double z) {
        return std::exp(-z * z / 2) / std::sqrt(2 * std::numbers::pi);
    };
    // ∫Φ(z) dz = zΦ(z) + φ(z).
    const auto integral = [&](double z) { return z * phi(z) + density(z); };
    const double p = integral((x + a) / sigma) - integral((x - a) / sigma) -
                     integral((-x + a) / sigma) + integral((-x - a) / sigma);
    return p * sigma / (2 * a);
}

std::vector<double> timesOf(const Waveform& w) {
    std::vector<double> t(w.volts.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        t[i] = w.timeOf(i);
    }
    return t;
}

// The first sample at or after `seconds`.
std::size_t indexAt(const Waveform& w, double seconds) {
    const double i = std::ceil((seconds - w.startSeconds) / w.intervalSeconds - 1e-9);
    return static_cast<std::size_t>(std::clamp(i, 0.0, static_cast<double>(w.volts.size())));
}

bool clippedAt(const Waveform& w, std::size_t i) {
    return i < w.clipped.size() && w.clipped[i];
}

// A record's level before the update (its samples before t = 0, none
// clipped) and after (its last fifth).
struct Levels {
    // Plain means: a reference record 1 LSB away sits at almost the same
    // fraction of a code, so a rounded average's bias on a level cancels
    // with the reference's.
    Spread before, after;
    double sdBeforeRounding = 0; // the last fifth's noise before the rounding
    std::size_t tailFrom = 0;
};

Levels levelsOf(const Waveform& w) {
    Levels l;
    const std::size_t zero = indexAt(w, 0);
    std::size_t last = 0;
    while (last < zero && !clippedAt(w, last)) {
        ++last;
    }
    l.before = spreadOf(w.volts, 0, last == zero ? zero : 0);
    l.tailFrom = w.volts.size() - w.volts.size() / 5;
    l.after = spreadOf(w.volts, l.tailFrom, w.volts.size());
    l.sdBeforeRounding = roundedLevel(w, l.tailFrom, w.volts.size()).sd;
    return l;
}

std::string invalid(const Waveform& w, const char* name) {
    if (w.volts.size() < 50 || !(w.intervalSeconds > 0) || !(w.codeVolts > 0)) {
        return std::string("the ") + name +
               " record is not one a scope gives: fewer than 50 samples, or no sample "
               "interval or code size";
    }
    return "";
}

// The fine record's analysis up to the crossing: where the band applies and
// what it is measured against.
struct Fine {
    std::size_t first = 0;    // the first sample after the update and the overdrive
    std::size_t tailFrom = 0; // the last fifth, the final value's samples
    double finalVolts = 0, finalUncertainty = 0;
    double noise = 0, resolution = 0;
    std::vector<double> deviation; // toward the final value, positive before a monotonic approach
};

// Discards the overdrive, takes the final value and the resolution; false
// with why when the record cannot show the band.
bool prepareFine(const Waveform& w, double direction, double band, const ScopeAccuracy& accuracy,
                 Fine& f, SettlingResult& r) {
    const std::size_t n = w.volts.size();
    std::size_t lastClipped = n;
    for (std::size_t i = n; i-- > 0;) {
        if (clippedAt(w, i)) {
            lastClipped = i;
            break;
        }
    }
    f.first = indexAt(w, 0);
    r.discardedFromSeconds = r.discardedToSeconds = w.timeOf(f.first);
    if (lastClipped < n) {
        r.discardedFromSeconds = std::min(w.timeOf(0), r.discardedToSeconds);
        r.discardedToSeconds = w.timeOf(lastClipped) + accuracy.recoverySeconds;
        f.first = std::max(f.first, indexAt(w, r.discardedToSeconds + 1e-15));
    }
    f.tailFrom = n - n / 5;
    if (f.first + 20 >= f.tailFrom) {
        r.why = "the fine record is off the screen (or recovering from it) until " +
                microsecondsText(r.discardedToSeconds) +
                ", into its last fifth where the final value is taken: the screen's centre "
                "is not at the final value, or the timebase is too short";
        return false;
    }
    const std::size_t middle = f.tailFrom + (n - f.tailFrom) / 2;
    const SteadyLevel tail = roundedLevel(w, f.tailFrom, n);
    const SteadyLevel early = roundedLevel(w, f.tailFrom, middle);
    const SteadyLevel late = roundedLevel(w, middle, n);
    const double q = quantisationVolts(w);
    f.noise = tail.sd;
    f.resolution = std::hypot(tail.sd, q);
    f.finalVolts = tail.mean;
    // A tail still settling shows as a difference between its halves.
    f.finalUncertainty = std::hypot(tail.meanUncertainty, (late.mean - early.mean) / 2);
    r.fineFinalVolts = f.finalVolts;
    r.noiseVolts = f.noise;
    r.resolutionVolts = f.resolution;
    if (4 * f.resolution > band) {
        r.why = "the scope resolves ±" + voltsText(4 * f.resolution) + " (4 × " +
                voltsText(f.resolution) + " a sample: noise " + voltsText(f.noise) + " after " +
                averagesText(w.averages) + ", a code of " + voltsText(w.codeVolts) +
                (roundedToCodes(w) ? " rounded on transfer" : "") + "); the band is ±" +
                voltsText(band);
        return false;
    }
    f.deviation.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        f.deviation[i] = direction * (f.finalVolts - w.volts[i]);
    }
    return true;
}

// The last sample whose smoothed deviation lies outside the band, or n.
std::size_t lastExit(const std::vector<double>& smoothed, std::size_t first, double band) {
    for (std::size_t i = smoothed.size(); i-- > first;) {
        if (std::abs(smoothed[i]) > band) {
            return i;
        }
    }
    return smoothed.size();
}

struct Crossing {
    double seconds = 0;
    double slope = 0;       // of the deviation, V/s
    double uncertainty = 0; // of the deviation there, V
    std::size_t samples = 0;
};

// The root of a parabola fitted around `seconds`, from where the smoothed
// output last stood at twice the band before it to as far beyond.
bool refine(const Waveform& w, const std::vector<double>& t, const Fine& f,
            const std::vector<double>& smoothed, double level, Crossing& c) {
    const std::size_t centre = std::min(indexAt(w, c.seconds), f.tailFrom - 1);
    std::size_t left = centre;
    while (left > f.first && std::abs(smoothed[left]) <= 2 * std::abs(level)) {
        --left;
    }
    const std::size_t half = std::max<std::size_t>(centre - left, 4);
    const std::size_t from = std::max(f.first, centre >= half ? centre - half : 0);
    const std::size_t to = std::min(w.volts.size(), centre + half + 1);
    const Parabola p = fitParabola(t, f.deviation, from, to, c.seconds);
    if (!p.ok) {
        return false;
    }
    const double a = p.c[2], b = p.c[1], k = p.c[0] - level;
    double root = 0;
    if (std::abs(a) * (t[to - 1] - t[from]) < 1e-9 * std::abs(b)) {
        root = -k / b;
    } else {
        const double disc = b * b - 4 * a * k;
        if (disc < 0) {
            return false;
        }
        const double r1 = (-b + std::sqrt(disc)) / (2 * a), r2 = (-b - std::sqrt(disc)) / (2 * a);
        root = std::abs(r1) < std::abs(r2) ? r1 : r2;
    }
    if (!std::isfinite(root) || c.seconds + root < t[from] || c.seconds + root > t[to - 1]) {
        return false;
    }
    c.seconds += root;
    c.slope = p.slopeAt(root);
    c.uncertainty = p.uncertaintyAt(root);
    c.samples = to - from;
    return true;
}

// The settling crossing on a prepared fine record; false with why.
bool crossingOf(const Waveform& w, const Fine& f, double band, Crossing& c, SettlingResult& r) {
    const auto width = static_cast<std::size_t>(std::ceil(64 * std::pow(f.resolution / band, 2)));
    const std::vector<double> smoothed = movingAverage(f.deviation, width | 1U);
    const std::size_t exit = lastExit(smoothed, f.first, band);
    if (exit == smoothed.size()) {
        r.why = "the output is already within the band at " + microsecondsText(w.timeOf(f.first)) +
                ", the first sample the scope gives after the update and its overdrive: a "
                "record that shows the output reach the band, with the screen's centre "
                "farther from the final value or a faster timebase";
        return false;
    }
    if (exit + 1 >= f.tailFrom) {
        r.why = "the output has not settled by " + microsecondsText(w.timeOf(f.tailFrom)) +
                ", where the record's last fifth gives its final value: a longer timebase";
        return false;
    }
    const double level = smoothed[exit] > 0 ? band : -band;
    const std::vector<double> t = timesOf(w);
    c.seconds = (w.timeOf(exit) + w.timeOf(exit + 1)) / 2;
    bool found = false;
    for (int pass = 0; pass < 5; ++pass) {
        Crossing next = c;
        if (!refine(w, t, f, smoothed, level, next)) {
            break;
        }
        const bool still = std::abs(next.seconds - c.seconds) < w.intervalSeconds / 4;
        c = next;
        found = true;
        if (still) {
            break;
        }
    }
    if (!found || !(std::abs(c.slope) > 0)) {
        r.why = "the output's approach to the band at " + microsecondsText(c.seconds) +
                " is too flat or too short to fit: a faster timebase";
        return false;
    }
    return true;
}

std::optional<DynamicFigure> slewOf(const Waveform& w, double start, double end,
                                    const ScopeAccuracy& accuracy,
                                    std::vector<std::string>& notes) {
    const double step = end - start;
    const std::size_t n = w.volts.size();
    std::size_t from = indexAt(w, 0);
    while (from < n && (w.volts[from] - start) / step < 0.2) {
        ++from;
    }
    std::size_t to = from;
    while (to < n && (w.volts[to] - start) / step < 0.5) {
        ++to;
    }
    if (to >= n || to < from + 5) {
        notes.push_back("no slew rate: the step's 20–50 % holds fewer than 5 samples of the "
                        "coarse record");
        return std::nullopt;
    }
    std::vector<double> micro = timesOf(w);
    for (double& x : micro) {
        x *= kMicro;
    }
    // Samples chosen by their own value would bias the slope low (a noisy
    // high one joins early, a noisy low one stays late): the window is
    // taken again by time, where a first fit crosses 20 % and 50 %.
    Line l = fitLine(micro, w.volts, from, to, micro[from]);
    if (l.slope * step > 0) {
        const auto at = [&](double fraction) {
            const double t = micro[from] + (start + fraction * step - l.intercept) / l.slope;
            return indexAt(w, t / kMicro);
        };
        const std::size_t a = at(0.2), b = at(0.5);
        if (b >= a + 5 && b < n) {
            l = fitLine(micro, w.volts, a, b, micro[a]);
            from = a;
            to = b;
        }
    }
    // A step shorter than twice slew × τ settles all the way: it has no
    // linear part, and the slope falls across the window.
    const Parabola bend = fitParabola(micro, w.volts, from, to, micro[from]);
    const double span = micro[to - 1] - micro[from];
    const double fall = bend.ok ? -2 * bend.c[2] * span * (step > 0 ? 1 : -1) : 0;
    const double fallUncertainty = bend.ok ? 2 * span * std::sqrt(bend.cov[2][2]) : 0;
    if (fall > 0.05 * std::abs(l.slope) && fall > 3 * fallUncertainty) {
        notes.push_back(
            "the edge bends between 20 and 50 % of the step (its slope falls by " +
            std::to_string(static_cast<int>(std::lround(100 * fall / std::abs(l.slope)))) +
            " %): no linear part, the slew rate is its mean slope there");
    }
    DynamicFigure f;
    f.value = std::abs(l.slope);
    f.budget = {{"the edge's fit (noise and codes along it)", l.slopeUncertainty},
                {"vertical gain", f.value * accuracy.gainFraction / kRootThree, true},
                {"timebase", f.value * accuracy.timebaseFraction / kRootThree, true}};
    settle(f);
    return f;
}

} // namespace

double expandedUncertainty(const std::vector<UncertaintyPart>& budget) {
    const UncertaintyPart* widest = nullptr;
    for (const auto& part : budget) {
        if (part.rectangular && (!widest || part.standard > widest->standard)) {
            widest = &part;
        }
    }
    double variance = 0;
    for (const auto& part : budget) {
        variance += &part == widest ? 0 : part.standard * part.standard;
    }
    const double sigma = std::sqrt(variance);
    const double a = widest ? widest->standard * kRootThree : 0;
    constexpr double kProbability = 0.9544997361036416; // of |z| ≤ 2
    if (a <= 1e-9 * sigma) {
        return 2 * sigma;
    }
    if (sigma <= 1e-9 * a) {
        return kProbability * a;
    }
    double low = 0, high = a + 3 * sigma;
    for (int i = 0; i < 60; ++i) {
        const double mid = (low + high) / 2;
        (coverage(sigma, a, mid) < kProbability ? low : high) = mid;
    }
    return (low + high) / 2;
}

SettlingResult measureSettling(const Waveform& coarse, const Waveform& fine, double fromVolts,
                               double toVolts, double bandVolts, const ScopeAccuracy& accuracy) {
    SettlingResult r;
    r.why = invalid(fine, "fine");
    if (r.why.empty()) {
        r.why = invalid(coarse, "coarse");
    }
    if (!(bandVolts > 0) || toVolts == fromVolts) {
        r.why = "a settling time needs a band above 0 and a step";
    }
    if (!r.why.empty()) {
        return r;
    }
    const double direction = toVolts > fromVolts ? 1 : -1;
    Fine f;
    Crossing c;
    if (!prepareFine(fine, direction, bandVolts, accuracy, f, r) ||
        !crossingOf(fine, f, bandVolts, c, r)) {
        return r;
    }
    const double slope = std::abs(c.slope);
    r.crossingSeconds = c.seconds;
    DynamicFigure& s = r.settlingMicroseconds;
    s.value = c.seconds * kMicro;
    s.budget = {
        {"noise at the crossing (a parabola through " + std::to_string(c.samples) + " samples)",
         c.uncertainty / slope * kMicro},
        {"final value", f.finalUncertainty / slope * kMicro},
        {"vertical gain", bandVolts * accuracy.gainFraction / kRootThree / slope * kMicro, true},
        {"timebase", s.value * accuracy.timebaseFraction / kRootThree, true},
        {"sample grid against the trigger", fine.intervalSeconds / kRootTwelve * kMicro, true}};
    settle(s);
    const Levels levels = levelsOf(coarse);
    r.startVolts = levels.before.count >= 10 ? levels.before.mean : fromVolts;
    r.finalVolts = levels.after.mean;
    if (levels.before.count < 10) {
        r.notes.push_back("the coarse record has no samples before the update: the step starts "
                          "at its nominal " +
                          voltsText(fromVolts));
    }
    if (direction * (r.finalVolts - r.startVolts) > 0) {
        r.slewVoltsPerMicrosecond = slewOf(coarse, r.startVolts, r.finalVolts, accuracy, r.notes);
    } else {
        r.notes.push_back("no slew rate: the coarse record does not step the way asked");
    }
    r.resolved = true;
    r.why.clear();
    return r;
}

namespace {

// A record's deviation from its ideal step between its own levels.
std::vector<double> deviationOf(const Waveform& w, const Levels& l) {
    std::vector<double> d(w.volts.size());
    for (std::size_t i = 0; i < d.size(); ++i) {
        d[i] = w.volts[i] - (w.timeOf(i) < 0 ? l.before.mean : l.after.mean);
    }
    return d;
}

bool sameGrid(const Waveform& a, const Waveform& b) {
    return a.volts.size() == b.volts.size() &&
           std::abs(a.intervalSeconds - b.intervalSeconds) <= 1e-9 * a.intervalSeconds &&
           std::abs(a.startSeconds - b.startSeconds) <= 1e-3 * a.intervalSeconds;
}

// Each sample's sign from its neighbours' mean, the sample and the two
// next to it left out, so that the sign owes nothing to its own noise.
std::vector<double> neighbourSigns(const std::vector<double>& d) {
    constexpr std::size_t kHalf = 4;
    std::vector<double> signs(d.size(), 0);
    for (std::size_t i = 0; i < d.size(); ++i) {
        double sum = 0;
        for (std::size_t j = i >= kHalf ? i - kHalf : 0; j <= std::min(d.size() - 1, i + kHalf);
             ++j) {
            sum += j + 1 < i || j > i + 1 ? d[j] : 0;
        }
        signs[i] = sum > 0 ? 1 : sum < 0 ? -1 : 0;
    }
    return signs;
}

// The window's last sample: where the smoothed deviation last stands out of
// its noise, half as long again after the update; n when nowhere.
std::size_t windowEnd(const Waveform& w, const std::vector<double>& d, std::size_t from,
                      std::size_t tailFrom, double noise) {
    constexpr std::size_t kWidth = 9;
    const std::vector<double> smoothed = movingAverage(d, kWidth);
    const double threshold = 4 * noise / std::sqrt(static_cast<double>(kWidth));
    std::size_t last = d.size();
    for (std::size_t i = tailFrom; i-- > from;) {
        if (std::abs(smoothed[i]) > threshold) {
            last = i;
            break;
        }
    }
    if (last == d.size()) {
        return last;
    }
    const double end = std::max(0.0, w.timeOf(last)) * 1.5 + 10 * w.intervalSeconds;
    return std::min(tailFrom, indexAt(w, end)) - 1;
}

} // namespace

namespace {

// What the glitch is measured against: the deviation, its noise and its
// levels' uncertainty.
struct GlitchBase {
    std::vector<double> deviation;
    Spread before, after; // of the deviation, before the update and in the last fifth
    std::size_t zero = 0, tailFrom = 0;
    double noise = 0, widen = 1;
    double sdBeforeRounding = 0; // of the glitch record's samples
    double scaleDoubt = 0;       // nV·s: of the reference's settling taken out
};

// The area's uncertainty over [from, end] that is not proportional to it.
std::vector<UncertaintyPart> areaNoise(const Waveform& w, const GlitchBase& b, std::size_t from,
                                       std::size_t end) {
    const double dt = w.intervalSeconds;
    const auto count = static_cast<double>(end + 1 - from);
    const double before = static_cast<double>(b.zero > from ? std::min(b.zero, end + 1) - from : 0);
    return {
        {"noise over the window", b.noise * b.widen * dt * std::sqrt(count) * kNano},
        {"levels before and after", std::hypot(b.before.meanUncertainty() * before,
                                               b.after.meanUncertainty() * (count - before)) *
                                        dt * kNano},
        {"rounding to codes", roundingBias(w, b.sdBeforeRounding) * dt * std::sqrt(count) * kNano},
        {"the reference's step size", b.scaleDoubt}};
}

double combined(const std::vector<UncertaintyPart>& parts) {
    double u = 0;
    for (const auto& part : parts) {
        u = std::hypot(u, part.standard);
    }
    return u;
}

// The glitch's areas over [from, end] into `g`, or why not.
void glitchAreas(const Waveform& w, const GlitchBase& b, std::size_t from, std::size_t end,
                 const ScopeAccuracy& accuracy, GlitchResult& g) {
    const std::vector<double> signs = neighbourSigns(b.deviation);
    double net = 0, abs = 0;
    std::size_t clipped = 0;
    for (std::size_t i = from; i <= end; ++i) {
        net += b.deviation[i] * w.intervalSeconds;
        abs += signs[i] * b.deviation[i] * w.intervalSeconds;
        clipped += clippedAt(w, i) ? 1 : 0;
    }
    if (clipped > 0) {
        g.why = "the glitch runs off the screen (" + std::to_string(clipped) +
                " samples clipped): a coarser V/div";
        return;
    }
    const std::vector<UncertaintyPart> noise = areaNoise(w, b, from, end);
    const double u = combined(noise);
    if (std::abs(abs) * kNano < 4 * u) {
        g.why = "the scope resolves glitches from " + nanovoltSecondsText(4 * u / kNano) +
                " (4 × the record's area noise after " + averagesText(w.averages) + ", " +
                voltsText(b.noise) + " a sample); this one measures " + nanovoltSecondsText(abs);
        return;
    }
    for (auto [figure, area] : {std::pair{&g.netNanovoltSeconds, net * kNano},
                                std::pair{&g.absNanovoltSeconds, abs * kNano}}) {
        figure->value = area;
        figure->budget = noise;
        figure->budget.push_back(
            {"vertical gain", std::abs(area) * accuracy.gainFraction / kRootThree, true});
        figure->budget.push_back(
            {"timebase", std::abs(area) * accuracy.timebaseFraction / kRootThree, true});
        settle(*figure);
    }
    g.resolved = true;
}

GlitchBase glitchBase(const Waveform& record, const Levels& levels, const Waveform* reference) {
    GlitchBase b;
    b.deviation = deviationOf(record, levels);
    if (reference) {
        // The reference's settling scaled to this step's size: a carry's
        // step differs from its neighbour's by the converter's DNL there,
        // and a settling's area grows with its step (size × τ), which is
        // no glitch.
        const Levels refLevels = levelsOf(*reference);
        const std::vector<double> ref = deviationOf(*reference, refLevels);
        const double step = levels.after.mean - levels.before.mean;
        const double refStep = refLevels.after.mean - refLevels.before.mean;
        // Only where the reference's step is known to a tenth of itself:
        // on a coarse scale a ratio of two noisy levels would add noise.
        const double refDoubt =
            std::hypot(refLevels.after.meanUncertainty(), refLevels.before.meanUncertainty());
        const double stepDoubt =
            std::hypot(levels.after.meanUncertainty(), levels.before.meanUncertainty());
        const bool known = std::abs(refStep) > 3 * refDoubt && std::abs(step) > 3 * stepDoubt;
        const double scale = known ? std::clamp(step / refStep, 0.0, 3.0) : 1.0;
        double refArea = 0;
        for (std::size_t i = 0; i < b.deviation.size(); ++i) {
            b.deviation[i] -= scale * ref[i];
            refArea += ref[i] * record.intervalSeconds;
        }
        // What the ratio of two levels' steps leaves unknown of the
        // settling taken out.
        if (known) {
            b.scaleDoubt = std::abs(refArea * scale) *
                           std::hypot(refDoubt / refStep, stepDoubt / step) * kNano;
        }
    }
    b.zero = indexAt(record, 0);
    b.tailFrom = levels.tailFrom;
    b.before = spreadOf(b.deviation, 0, b.zero);
    b.after = spreadOf(b.deviation, b.tailFrom, b.deviation.size());
    b.noise = std::sqrt((b.before.sd * b.before.sd + b.after.sd * b.after.sd) / 2);
    b.widen = std::max(b.before.inflation, b.after.inflation);
    b.sdBeforeRounding = levels.sdBeforeRounding;
    return b;
}

} // namespace

GlitchResult measureGlitch(const Waveform& record, const Waveform* reference,
                           const ScopeAccuracy& accuracy) {
    GlitchResult g;
    g.why = invalid(record, "glitch");
    const Levels levels = levelsOf(record);
    if (g.why.empty() && levels.before.count < 20) {
        g.why = "the glitch record needs samples before the update (20 or more, none clipped) "
                "to give the level the output leaves";
    }
    if (g.why.empty() && reference && !sameGrid(record, *reference)) {
        g.why = "the reference record's samples do not fall at the glitch record's times";
    }
    if (!g.why.empty()) {
        return g;
    }
    g.beforeVolts = levels.before.mean;
    g.afterVolts = levels.after.mean;
    const GlitchBase b = glitchBase(record, levels, reference);
    g.noiseVolts = b.noise;
    const std::size_t from = indexAt(record, -10 * record.intervalSeconds);
    const std::size_t end = windowEnd(record, b.deviation, from, b.tailFrom, b.noise);
    if (end == b.deviation.size()) {
        // What a lobe a hundred samples long would have to reach.
        const double u = combined(areaNoise(record, b, from, std::min(from + 99, b.tailFrom - 1)));
        g.why = "no glitch stands out of the record's noise (" + voltsText(b.noise) +
                " a sample after " + averagesText(record.averages) +
                "): the scope resolves glitches from about " + nanovoltSecondsText(4 * u / kNano) +
                " (4 × the area noise over 100 samples)";
        return g;
    }
    g.windowFromSeconds = record.timeOf(from);
    g.windowToSeconds = record.timeOf(end);
    glitchAreas(record, b, from, end, accuracy, g);
    if (g.resolved) {
        g.why.clear();
        if (!reference) {
            g.notes.push_back("measured against the ideal step between the levels: the step's "
                              "own settling within the window counts in the glitch");
        }
    }
    return g;
}

std::vector<KindFigure> kindFigures(const SettlingResult& result) {
    std::vector<KindFigure> out;
    if (result.resolved) {
        out.push_back({&kSettlingTime, result.settlingMicroseconds});
        if (result.slewVoltsPerMicrosecond) {
            out.push_back({&kSlewRate, *result.slewVoltsPerMicrosecond});
        }
    }
    return out;
}

std::vector<KindFigure> kindFigures(const GlitchResult& result) {
    if (!result.resolved) {
        return {};
    }
    return {{&kGlitchImpulse, result.netNanovoltSeconds},
            {&kGlitchImpulseAbs, result.absNanovoltSeconds}};
}

} // namespace qd::measure

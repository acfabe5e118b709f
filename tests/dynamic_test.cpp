// The dynamic figures against a synthetic step whose truth is known in
// closed form, recorded by a model 8-bit scope with 64 averages.

#include "SyntheticScope.h"
#include "measure/Dynamic.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

namespace {

using qd::measure::Acquisition;
using qd::measure::Decision;
using qd::measure::GlitchResult;
using qd::measure::KindFigure;
using qd::measure::Limits;
using qd::measure::ScopeCapabilities;
using qd::measure::SettlingResult;
using qd::measure::Waveform;
using qd::test::ScopeModel;
using qd::test::StepModel;

ScopeModel scopeFor(const Acquisition& a, const ScopeCapabilities& caps) {
    ScopeModel s;
    s.voltsPerDivision = a.voltsPerDivision;
    s.centreVolts = a.centreVolts;
    s.averages = a.averages;
    s.keepsFraction = caps.keepsAverageFraction;
    s.startSeconds = a.startSeconds;
    s.intervalSeconds = a.sampleIntervalSeconds;
    s.points = static_cast<int>(std::lround(a.spanSeconds / a.sampleIntervalSeconds));
    return s;
}

struct SettleRun {
    SettlingResult result;
    Waveform fine;
    double truth = 0; // s
};

// The run layer's steps: plan on the truth as the expected settling, then
// a coarse and a fine record.
SettleRun settle(const StepModel& m, double band, bool words, unsigned seed, int averages = 64,
                 double gainError = 0) {
    ScopeCapabilities caps;
    caps.keepsAverageFraction = words;
    SettleRun run;
    run.truth = m.settlingSeconds(band);
    const auto plan = qd::measure::planSettling(m.from, m.to, band, caps, run.truth, averages);
    std::mt19937_64 rng(seed);
    ScopeModel coarseScope = scopeFor(plan.coarse, caps), fineScope = scopeFor(plan.fine, caps);
    coarseScope.gainError = fineScope.gainError = gainError;
    const Waveform coarse = qd::test::acquire(m, coarseScope, rng);
    run.fine = qd::test::acquire(m, fineScope, rng);
    run.result = qd::measure::measureSettling(coarse, run.fine, m.from, m.to, band);
    return run;
}

// The goals: settling within max(2 %, 2 sample intervals) of the truth, slew
// within 2 %, for steps up and down, with averages rounded to codes (DS1000Z,
// Siglent) or kept (a 16-bit transfer), and for a step too small to slew.
TEST(Dynamic, SettlingAndSlewMeetTheirGoals) {
    const struct {
        const char* name;
        StepModel model;
        double band;
        bool words;
    } cases[] = {
        {"0.3 V to 4.6 V to ±0.15 mV, bytes", {0.3, 4.6, 1.8, 0.6}, 150e-6, false},
        {"0.3 V to 4.6 V to ±0.15 mV, words", {0.3, 4.6, 1.8, 0.6}, 150e-6, true},
        {"4.6 V down to 0.3 V to ±0.15 mV", {4.6, 0.3, 1.8, 0.6}, 150e-6, false},
        {"2 V to 4 V, slew 5 V/µs, τ 0.15 µs, ±0.5 mV", {2, 4, 5, 0.15}, 500e-6, true},
        {"2 V to 2.5 V, no slewing, ±0.15 mV", {2, 2.5, 1.8, 0.6}, 150e-6, false},
    };
    unsigned seed = 1;
    for (const auto& c : cases) {
        const SettleRun run = settle(c.model, c.band, c.words, seed++);
        const SettlingResult& r = run.result;
        ASSERT_TRUE(r.resolved) << c.name << ": " << r.why;
        const double truth = run.truth * 1e6;
        const double tolerance = std::max(0.02 * truth, 2 * run.fine.intervalSeconds * 1e6);
        if (std::getenv("QD_DYNAMIC_TABLE")) {
            std::printf("%-44s settling %.4f us: %.4f +- %.4f; slew %.4f +- %.4f\n", c.name, truth,
                        r.settlingMicroseconds.value, *r.settlingMicroseconds.uncertainty,
                        r.slewVoltsPerMicrosecond ? r.slewVoltsPerMicrosecond->value : 0.0,
                        r.slewVoltsPerMicrosecond ? *r.slewVoltsPerMicrosecond->uncertainty : 0.0);
            for (const auto& part : r.settlingMicroseconds.budget) {
                std::printf("    %-60s %.5f\n", part.name.c_str(), part.standard);
            }
        }
        EXPECT_NEAR(r.settlingMicroseconds.value, truth, tolerance) << c.name;
        EXPECT_LT(*r.settlingMicroseconds.uncertainty, tolerance) << c.name;
        EXPECT_LT(r.discardedToSeconds, run.truth) << c.name;
        const bool linear = std::abs(c.model.to - c.model.from) >= 2 * c.model.slew * c.model.tau;
        ASSERT_TRUE(r.slewVoltsPerMicrosecond) << c.name;
        if (linear) {
            EXPECT_NEAR(r.slewVoltsPerMicrosecond->value, c.model.slew, 0.02 * c.model.slew)
                << c.name;
        }
        EXPECT_EQ(r.notes.size(), linear ? 0u : 1u) << c.name << ": the bend said";
    }
}

// Noise close to the band makes the last raw sample outside it fall well
// after the true settling; the smoothed exit and the fitted crossing do not.
TEST(Dynamic, NoiseExitsAfterTheSettlingDoNotCount) {
    const StepModel m{0.3, 4.6, 1.8, 0.6};
    const double band = 40e-6;
    const SettleRun run = settle(m, band, true, 7);
    ASSERT_TRUE(run.result.resolved) << run.result.why;
    const double truth = run.truth * 1e6, tolerance = 0.02 * truth;
    const double final = run.result.fineFinalVolts;
    double naive = 0;
    for (std::size_t i = 0; i < run.fine.volts.size(); ++i) {
        if (std::abs(run.fine.volts[i] - final) > band && !run.fine.clipped[i]) {
            naive = run.fine.timeOf(i) * 1e6;
        }
    }
    EXPECT_GT(naive - truth, tolerance)
        << "the naive last exit is not late: the case tests nothing";
    EXPECT_NEAR(run.result.settlingMicroseconds.value, truth, tolerance);
}

// A band finer than the scope resolves gives no number but a sentence with
// the figures; the plan says so before any record is taken.
TEST(Dynamic, ABandTooFineIsRefused) {
    const struct {
        const char* name;
        double band;
        bool words;
        int averages;
        const char* says;
    } cases[] = {
        {"±20 µV, bytes: the code's rounding alone is 5.8 µV", 20e-6, false, 64,
         "the band is ±20 µV"},
        {"±0.1 mV with 2 averages", 100e-6, false, 2, "after 2 averages"},
    };
    const StepModel m{0.3, 4.6, 1.8, 0.6};
    for (const auto& c : cases) {
        const SettleRun run = settle(m, c.band, c.words, 3, c.averages);
        EXPECT_FALSE(run.result.resolved) << c.name;
        EXPECT_NE(run.result.why.find(c.says), std::string::npos)
            << c.name << ": " << run.result.why;
        EXPECT_TRUE(qd::measure::kindFigures(run.result).empty()) << c.name;
        const auto plan = qd::measure::planSettling(m.from, m.to, c.band, ScopeCapabilities{},
                                                    run.truth, c.averages);
        EXPECT_FALSE(plan.resolvable) << c.name;
    }
}

struct GlitchCase {
    const char* name;
    double area, afterLobe; // nV·s
    double voltsPerDivision;
    int averages;
    bool reference;
};

GlitchResult glitch(const GlitchCase& c, unsigned seed, double* naiveAbs = nullptr,
                    double gainError = 0) {
    const double lsb = 4.93 / 65536;
    StepModel m{2.4649, 2.4649 + lsb, 1.8, 0.6, c.area};
    m.afterLobe = c.afterLobe;
    ScopeModel s;
    s.voltsPerDivision = c.voltsPerDivision;
    s.centreVolts = m.from;
    s.averages = c.averages;
    s.startSeconds = -200e-9;
    s.points = 2000;
    s.gainError = gainError;
    std::mt19937_64 rng(seed);
    const Waveform w = qd::test::acquire(m, s, rng);
    StepModel before{m.from - lsb, m.from, 1.8, 0.6};
    const Waveform ref = qd::test::acquire(before, s, rng);
    GlitchResult g = qd::measure::measureGlitch(w, c.reference ? &ref : nullptr);
    if (naiveAbs) {
        *naiveAbs = 0;
        for (std::size_t i = 0; i < w.volts.size(); ++i) {
            const double t = w.timeOf(i);
            if (t >= g.windowFromSeconds && t <= g.windowToSeconds) {
                *naiveAbs += std::abs(w.volts[i] - (t < 0 ? g.beforeVolts : g.afterVolts)) *
                             w.intervalSeconds * 1e9;
            }
        }
    }
    return g;
}

// Within ±10 % for 1–10 nV·s on an 8-bit scope with 64 averages, against a
// reference transition or the ideal step (which counts the part of the
// one-LSB step's own settling within the window, under 0.01 nV·s); a lobe and its opposite half
// make the absolute area exceed the net.
TEST(Dynamic, GlitchImpulseMeetsItsGoal) {
    const GlitchCase cases[] = {
        {"1 nV·s at 20 mV/div", 1, 0, 20e-3, 64, true},
        {"3 nV·s at 50 mV/div", 3, 0, 50e-3, 64, true},
        {"10 nV·s at 200 mV/div", 10, 0, 0.2, 64, true},
        {"3 nV·s without a reference", 3, 0, 50e-3, 64, false},
        {"2 nV·s then −1 nV·s", 2, -1, 20e-3, 64, true},
    };
    unsigned seed = 11;
    for (const auto& c : cases) {
        const GlitchResult g = glitch(c, seed++);
        ASSERT_TRUE(g.resolved) << c.name << ": " << g.why;
        if (c.afterLobe == 0) {
            const auto plan = qd::measure::planGlitch(2.4649, 2 * c.area * 1e-9 / 50e-9, 50e-9,
                                                      ScopeCapabilities{});
            EXPECT_EQ(plan.voltsPerDivision, c.voltsPerDivision) << c.name << ": as planned";
            EXPECT_NEAR(plan.spanSeconds, 2e-6, 1e-12) << c.name;
        }
        const double net = c.area + c.afterLobe;
        const double abs = std::abs(c.area) + std::abs(c.afterLobe);
        if (std::getenv("QD_DYNAMIC_TABLE")) {
            std::printf("%-30s net %.3f: %.4f +- %.4f; abs %.3f: %.4f +- %.4f nV.s\n", c.name, net,
                        g.netNanovoltSeconds.value, *g.netNanovoltSeconds.uncertainty, abs,
                        g.absNanovoltSeconds.value, *g.absNanovoltSeconds.uncertainty);
        }
        EXPECT_NEAR(g.netNanovoltSeconds.value, net, 0.1 * std::abs(net)) << c.name;
        EXPECT_NEAR(g.absNanovoltSeconds.value, abs, 0.1 * abs) << c.name;
    }
}

// Summing |deviation| counts the noise where the output rests; the
// neighbours' sign does not. A glitch within the record's area noise is
// refused with the figures.
TEST(Dynamic, GlitchAbsoluteAreaAndRefusal) {
    double naive = 0;
    const GlitchResult noisy =
        glitch({"1 nV·s at 200 mV/div, 16 averages", 1, 0, 0.2, 16, true}, 5, &naive);
    ASSERT_TRUE(noisy.resolved) << noisy.why;
    EXPECT_GT(naive - 1, 0.1) << "the naive absolute area is not biased: the case tests nothing";
    EXPECT_NEAR(noisy.absNanovoltSeconds.value, 1, 0.1);

    const GlitchResult tiny =
        glitch({"0.02 nV·s at 200 mV/div, 4 averages", 0.02, 0, 0.2, 4, true}, 6);
    EXPECT_FALSE(tiny.resolved);
    EXPECT_NE(tiny.why.find("the scope resolves glitches from"), std::string::npos) << tiny.why;
    EXPECT_NE(tiny.why.find("after 4 averages"), std::string::npos) << tiny.why;
    EXPECT_TRUE(qd::measure::kindFigures(tiny).empty());
}

// The dynamic figures' limits parse as the static ones and are judged by
// ILAC-G8; a sweep's verdict does not judge them, nor they a sweep's figures.
TEST(Dynamic, LimitsOnTheDynamicFigures) {
    std::string why;
    const auto limits =
        Limits::parse("settling=10,SLEW=1.5..3,glitch_impulse_nvs=2,glitch_abs=3,inl=1", why);
    ASSERT_TRUE(limits) << why;
    EXPECT_EQ(limits->text(), "inl=1,settling=10,slew=1.5..3,glitch=2,glitch_abs=3");
    const struct {
        const char* name;
        const qd::measure::FigureKind* kind;
        double value, u;
        Decision decision;
    } cases[] = {
        {"settling inside with its uncertainty", &qd::measure::kSettlingTime, 9.5, 0.3,
         Decision::Pass},
        {"settling straddling its limit", &qd::measure::kSettlingTime, 9.9, 0.3,
         Decision::Conditional},
        {"settling beyond it", &qd::measure::kSettlingTime, 10.5, 0.3, Decision::Fail},
        {"slew below its least", &qd::measure::kSlewRate, 1.4, 0.05, Decision::Fail},
        {"a negative glitch beyond its size", &qd::measure::kGlitchImpulse, -2.5, 0.2,
         Decision::Fail},
        {"an absolute area straddling", &qd::measure::kGlitchImpulseAbs, 2.9, 0.2,
         Decision::Conditional},
    };
    for (const auto& c : cases) {
        const auto v =
            qd::measure::judge(std::vector<KindFigure>{{c.kind, {c.value, c.u}}}, *limits);
        EXPECT_EQ(v.decision, c.decision) << c.name;
        EXPECT_EQ(v.failures.size() + v.conditional.size(), c.decision == Decision::Pass ? 0u : 1u)
            << c.name;
    }
    EXPECT_EQ(qd::measure::judge(std::vector<KindFigure>{}, *limits).decision, Decision::Pass);
}

// The run layer's two passes: a coarse record on a guessed span foresees
// the settling time; the fine record is planned on it, centred on the final
// value at the finest scale, with the fewest averages that resolve the band.
TEST(Dynamic, PlanFromARoughSettlingTime) {
    const StepModel m{0.3, 4.6, 1.8, 0.6};
    const double band = 150e-6, truth = m.settlingSeconds(band);
    const ScopeCapabilities caps;
    const auto first = qd::measure::planSettling(m.from, m.to, band, caps, 20e-6, 16);
    EXPECT_EQ(first.coarse.voltsPerDivision, 1.0);
    EXPECT_NEAR(first.coarse.centreVolts, 2.45, 1e-9);
    std::mt19937_64 rng(21);
    const Waveform coarse = qd::test::acquire(m, scopeFor(first.coarse, caps), rng);
    const auto rough = qd::measure::roughSettlingSeconds(coarse, m.from, m.to, band);
    ASSERT_TRUE(rough);
    EXPECT_NEAR(*rough, truth, 0.25 * truth);
    const auto plan = qd::measure::planSettling(m.from, m.to, band, caps, *rough);
    EXPECT_TRUE(plan.resolvable) << plan.why;
    EXPECT_EQ(plan.fine.voltsPerDivision, caps.finestVoltsPerDivision);
    EXPECT_EQ(plan.fine.centreVolts, m.to);
    EXPECT_LE(5 * plan.fine.resolutionVolts, band);
    EXPECT_GT(10 * plan.fine.resolutionVolts, band) << "more averages than the band needs";
    EXPECT_GE(plan.fine.spanSeconds, 2 * truth);
}

// A stored record: whole when it fits, else at most the points asked, with
// every sample of the settling region while it fits in half of them, and
// the extremes elsewhere kept.
TEST(Dynamic, CompactWaveformKeepsTheSettlingRegion) {
    Waveform w;
    w.intervalSeconds = 1e-9;
    for (int i = 0; i < 10000; ++i) {
        w.volts.push_back(i == 9000 ? 5.0 : i * 1e-4);
    }
    const auto compact = qd::measure::compactWaveform(w, 4e-6, 4.5e-6, 2000);
    EXPECT_LE(compact.size(), 2000u);
    std::size_t inRegion = 0;
    bool peak = false;
    for (const auto& [t, v] : compact) {
        inRegion += t >= 4e-6 && t < 4.5e-6 ? 1 : 0;
        peak = peak || v == 5.0;
    }
    EXPECT_EQ(inRegion, 500u);
    EXPECT_TRUE(peak);
    w.volts.resize(1500);
    EXPECT_EQ(qd::measure::compactWaveform(w, 0, 1e-6).size(), 1500u);
}

// Not run by ctest: how often value ± U holds the truth over 200 seeds,
// and the median of (value − truth)/U, per figure.
TEST(Dynamic, DISABLED_Coverage) {
    const StepModel m{0.3, 4.6, 1.8, 0.6};
    for (const bool words : {false, true}) {
        std::vector<double> settling, slew, net, abs;
        for (unsigned seed = 1000; seed < 1200; ++seed) {
            // Each run's scope with its own gain error within its maker's ±2 %.
            std::mt19937_64 draw(seed);
            const double gain = std::uniform_real_distribution<double>(-0.02, 0.02)(draw);
            const SettleRun run = settle(m, 150e-6, words, seed, 64, gain);
            if (run.result.resolved) {
                const auto& s = run.result.settlingMicroseconds;
                settling.push_back((s.value - run.truth * 1e6) / *s.uncertainty);
                const auto& r = *run.result.slewVoltsPerMicrosecond;
                slew.push_back((r.value - m.slew) / *r.uncertainty);
            }
            if (words) {
                continue; // the glitch model's scope rounds to bytes
            }
            const GlitchResult g = glitch({"3 nV·s", 3, 0, 50e-3, 64, true}, seed, nullptr, gain);
            if (g.resolved) {
                net.push_back((g.netNanovoltSeconds.value - 3) / *g.netNanovoltSeconds.uncertainty);
                abs.push_back((g.absNanovoltSeconds.value - 3) / *g.absNanovoltSeconds.uncertainty);
            }
        }
        for (auto [name, z] : {std::pair{"settling", &settling}, std::pair{"slew", &slew},
                               std::pair{"glitch", &net}, std::pair{"glitch_abs", &abs}}) {
            if (z->empty()) {
                continue;
            }
            std::sort(z->begin(), z->end());
            const auto held =
                std::count_if(z->begin(), z->end(), [](double x) { return std::abs(x) <= 1; });
            std::printf("%-10s %s %zu runs, %.1f %% held, median %+.2f U\n", name,
                        words ? "words" : "bytes", z->size(),
                        100.0 * static_cast<double>(held) / static_cast<double>(z->size()),
                        (*z)[z->size() / 2]);
        }
    }
}

} // namespace

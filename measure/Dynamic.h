#pragma once

// The dynamic figures from a scope's records of a code update: settling
// time and slew rate of a step, and the glitch impulse of a transition,
// each with its expanded uncertainty (k = 2, see expandedUncertainty())
// from a budget whose parts are named; a refusal, with the figures that
// make it, where the scope as set up cannot resolve the band or the
// glitch. Standard C++ only.
//
// Settling time (JEDEC): from the update (t = 0) until the output last
// enters the band ±B around its final value and stays there.
// - The fine record (screen centre near the final value, a fine V/div,
//   averaged) gives the final value and the crossing. Clipped samples, and
//   the scope's overdrive recovery after the last of them, are discarded;
//   the span is reported.
// - The final value is the mean of the record's last fifth; where the
//   transfer rounded the averages to whole codes, the mean of the normal
//   distribution whose codes' counts are the most likely, since a plain
//   mean of rounded values is biased by up to a fifth of a code when the
//   averaged noise is a quarter of one. The same fit gives the noise.
// - The scope resolves a band when four times its per-sample uncertainty
//   (that noise with the code's quantisation, code/√12, divided by √N
//   where the transfer kept the average's fraction) fits in it: a settled
//   output then leaves the band by noise alone only beyond 4σ.
// - The last exit is found on the record smoothed until its noise is an
//   eighth of the band, so that a lone noisy sample after the settling does
//   not count. Noise still makes a last exit late (the output creeps
//   towards the band's edge), so the crossing is the root of a parabola
//   fitted around the exit, from where the output was at twice the band
//   to as far beyond, re-centred on its root until it stays: the fit sees
//   the trend, not the noise's last excursion.
// - Budget: the fit's noise at the crossing over the slope there (σ_v /
//   |dv/dt|, the residuals' correlation counted); the final value's
//   uncertainty (and the difference of the last fifth's halves, which a
//   tail still settling shows) over the slope; the vertical gain (a gain
//   error scales the output's distance from the final value, so the band
//   moves by B × gain: B·u_gain / |dv/dt|); the timebase (t × its
//   accuracy); and the sample grid's phase to the trigger (interval/√12).
//
// Slew rate: the least-squares slope of the coarse record (the whole step
// on screen) between 20 % and 50 % of the step, between the levels the
// same record shows (its pre-trigger mean and its last fifth's; the
// caller's nominal levels only where it has no pre-trigger samples). The
// window stops at 50 % because a first-order settling that begins within
// slew × τ of the final value bends a 20-80 % fit whenever slew × τ
// exceeds a fifth of the step, as it does for buffered converters; a few
// hundred samples still make its noise small. The window's ends are where
// a first fit crosses 20 % and 50 %, not the samples' own values, which
// would bias the slope low. A step under twice slew × τ has no linear
// part: a note says so, and the figure is the mean slope there. Budget:
// the fit's standard error (residuals' correlation counted: a staircase of
// rounded codes is not white), vertical gain, timebase.
//
// Glitch impulse: the net and the absolute area of the output's deviation
// from its straight settling, in nV·s, from an averaged record with samples
// before the update. The straight settling is a reference record of a
// transition of the same size without the carry when one is given (its own
// deviation from its own levels is subtracted, which removes the step's
// settling and what the update couples into the output on every
// transition); otherwise the ideal step between the record's levels, which
// then counts the part of the step's own settling within the window (at
// most size × τ: 0.045 nV·s for one LSB of 16 bits from 4.9 V with
// τ = 0.6 µs; under 0.01 nV·s over a 100 ns window). The absolute area
// takes each sample's sign from its neighbours (the sample itself left
// out), so that noise where the output is at rest adds nothing on average,
// where Σ|v| would add σ·√(2/π) a sample. The window runs from just before
// the update until the smoothed deviation last stands out of the noise,
// half as long again. Budget: the noise summed over the window, the
// levels' uncertainty over the time they apply, the rounding's bias
// (where the transfer rounded), vertical gain, timebase. The scope
// resolves the glitch when the absolute area is at least four times the
// standard uncertainty of the area's noise.

#include "measure/Limits.h"
#include "measure/Waveform.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qd::measure {

// What a scope's record does not show of its accuracy. Each as its maker
// gives it, a ± bound on the reading, taken as rectangular.
struct ScopeAccuracy {
    double gainFraction = 0.02;      // vertical gain: 2 % on 8-bit scopes
    double timebaseFraction = 25e-6; // timebase: 25 ppm
    double recoverySeconds = 100e-9; // overdrive recovery, discarded after clipping
};

// One part of an uncertainty budget, as a standard uncertainty in the
// figure's unit: normal (noise, a fit), or rectangular (a maker's ± bound,
// the sample grid's phase), standard = half-width/√3.
struct UncertaintyPart {
    std::string name;
    double standard = 0;
    bool rectangular = false;
};

// The expanded uncertainty of a budget: the half-width of the interval
// that holds the error with the probability k = 2 gives a normal one
// (95.45 %). The largest rectangular part is kept rectangular and the
// rest taken as normal, so that a budget a maker's ± bound dominates is
// not stated wider than that bound covers (2u would be 1.15 × the bound,
// 100 %), and a normal budget gets 2u exactly.
double expandedUncertainty(const std::vector<UncertaintyPart>& budget);

struct DynamicFigure : Figure {
    std::vector<UncertaintyPart> budget;
};

struct SettlingResult {
    // False when the scope as set up cannot resolve the band: `why` says so
    // in one sentence with the figures, and no figure is given.
    bool resolved = false;
    std::string why;
    DynamicFigure settlingMicroseconds;
    std::optional<DynamicFigure> slewVoltsPerMicrosecond; // none when the edge is too short
    double crossingSeconds = 0;
    double startVolts = 0, finalVolts = 0; // the step's levels on the coarse record
    double fineFinalVolts = 0;             // the band's centre, from the fine record
    // The fine record's samples discarded while the scope was overdriven
    // (equal when none were).
    double discardedFromSeconds = 0, discardedToSeconds = 0;
    double noiseVolts = 0;      // a fine sample's spread, after averaging
    double resolutionVolts = 0; // a fine sample's uncertainty with quantisation
    std::vector<std::string> notes;
};

// `fromVolts` and `toVolts` are the step's nominal levels: they give its
// direction, and its start where the coarse record has no samples before
// the update. `bandVolts` is B of ±B.
SettlingResult measureSettling(const Waveform& coarse, const Waveform& fine, double fromVolts,
                               double toVolts, double bandVolts,
                               const ScopeAccuracy& accuracy = {});

struct GlitchResult {
    bool resolved = false;
    std::string why;
    DynamicFigure netNanovoltSeconds, absNanovoltSeconds;
    double windowFromSeconds = 0, windowToSeconds = 0;
    double beforeVolts = 0, afterVolts = 0;
    double noiseVolts = 0; // a sample's spread, after averaging
    std::vector<std::string> notes;
};

// `reference`: the same transition's size away from the carry, recorded
// with the same setup, or null.
GlitchResult measureGlitch(const Waveform& record, const Waveform* reference,
                           const ScopeAccuracy& accuracy = {});

// The figures as --limits judges them (FigureKinds.h); none when unresolved.
std::vector<KindFigure> kindFigures(const SettlingResult& result);
std::vector<KindFigure> kindFigures(const GlitchResult& result);

// What the scope can do, as its family data and its answers give it.
struct ScopeCapabilities {
    double finestVoltsPerDivision = 500e-6;
    double coarsestVoltsPerDivision = 10;
    int adcBits = 8;
    int verticalDivisions = 8;
    int horizontalDivisions = 10;
    double maxSampleRate = 1e9;
    int recordPoints = 10000;
    // The front end's noise per acquisition: a fraction of a division, with
    // a floor.
    double noiseDivisions = 0.1;
    double noiseFloorVolts = 50e-6;
    bool keepsAverageFraction = false; // a 16-bit transfer of averaged data
    int maxAverages = 65536;
    bool averagesPowerOfTwo = false;
};

struct Acquisition {
    double voltsPerDivision = 0;
    double centreVolts = 0;
    double secondsPerDivision = 0;
    double startSeconds = 0; // the record's first sample after the update (negative: before)
    double spanSeconds = 0;
    double sampleIntervalSeconds = 0;
    int averages = 1;
    double resolutionVolts = 0; // a sample's expected uncertainty after averaging
};

struct SettlingPlan {
    Acquisition coarse, fine;
    // False when no setup within the scope's capabilities resolves the
    // band; `why` says so with the figures.
    bool resolvable = true;
    std::string why;
};

// The coarse record holds the whole step (6 of the screen's divisions) and
// a tenth of its span before the update; the fine record is centred on the
// final value at the finest V/div that keeps ±B within the middle half of
// the screen, with the fewest averages (a power of two where the scope
// needs it, `averages` when given) whose resolution is a fifth of the
// band. Both span 2.5 × `expectedSettlingSeconds`, so that the fine
// record's last fifth, where the final value is taken, begins at twice the
// settling time. `roughSettlingSeconds` gives that from a first coarse record.
SettlingPlan planSettling(double fromVolts, double toVolts, double bandVolts,
                          const ScopeCapabilities& scope, double expectedSettlingSeconds,
                          int averages = 0);

// The glitch record: centred on the level at the transition, at the
// finest V/div that keeps a lobe of `expectedPeakVolts` either way within
// three quarters of the screen's half-height, a tenth of its span before the update, and 40
// lobe widths in all, so that the last fifth, where the level after is
// taken, is well clear of the lobe; `averages` (64 when 0).
Acquisition planGlitch(double levelVolts, double expectedPeakVolts, double lobeSeconds,
                       const ScopeCapabilities& scope, int averages = 0);

// The settling time to ±`bandVolts` foreseen from a coarse record: where it
// last leaves a band it resolves, carried on to ±`bandVolts` along a
// first-order tail with the time constant the record shows there.
std::optional<double> roughSettlingSeconds(const Waveform& coarse, double fromVolts, double toVolts,
                                           double bandVolts);

// A record for the store, as (seconds, volts), at most `maxPoints`: whole
// when it fits; otherwise half the points kept for [keepFrom, keepTo] (the
// settling region) and half for the rest, each part reduced to the least
// and the largest sample of equal spans, in time order, so that no peak is
// lost.
std::vector<std::pair<double, double>> compactWaveform(const Waveform& waveform,
                                                       double keepFromSeconds, double keepToSeconds,
                                                       std::size_t maxPoints = 2000);

} // namespace qd::measure

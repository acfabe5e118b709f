#pragma once

// A converter's static figures from its measured output, as datasheets
// define them, each with the uncertainty its samples' spread allows.
// Standard C++ only.
//
// With N bits, LSB_ideal = Vref / 2^N and the fit range of Plan.h:
// - zero-code error: V(0) in mV; full-scale error: V(max) against
//   Vref*(2^N-1)/2^N, in % of full scale;
// - offset and gain error from the endpoint line through the fit range's
//   ends: its value at code 0 in mV, its slope against LSB_ideal in % of
//   full scale;
// - INL per code in LSB of the line, against the endpoint line and the
//   least-squares line over the fit range (best fit);
// - DNL per step between two neighbouring codes in the fit range, in LSB
//   of the best-fit line, minus 1;
// - monotonic when every step of the fit range was measured and is
//   positive beyond its uncertainty: codes measured far apart show no
//   step between them;
// - INL and DNL as their most negative and most positive values;
// - notes on the codes outside the fit range that sit on a rail: a run of
//   measured codes from code 0 up (or from the largest code down) whose
//   output stays within the uncertainty of code 0's (the largest code's),
//   while the best-fit line says some of them should differ from it by
//   more than that uncertainty and the meter's step together.
//
// Uncertainties are expanded (about 95 % coverage): twice the standard
// uncertainty. The standard uncertainty of a code's mean is the samples'
// spread pooled over all codes, over the root of the samples per code,
// with a quantizing meter's step added as a uniform distribution. INL's
// and DNL's most negative and most positive values, and the smallest step,
// are estimates of the true extremes (Extremes.h): the largest of many noisy values overstates
// the largest true one, by what the noise is expected to add to the
// maximum over the codes near it, which is taken off; their uncertainty
// is the spread of that maximum. Each stays at the code where it was
// measured, so that it may differ from that code's own INL in `codes`.

#include "measure/Plan.h"
#include "measure/SweepStatistics.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qd::measure {

// The readings of one code, gathered as they come.
class CodeSamples {
  public:
    void add(double volts);
    std::size_t count() const { return n_; }
    double mean() const { return mean_; }
    // Sum of squared deviations from the mean.
    double squares() const { return m2_; }

  private:
    std::size_t n_ = 0;
    double mean_ = 0, m2_ = 0;
};

struct CodeMeasurement {
    std::int32_t code = 0;
    CodeSamples samples;
};

struct Setup {
    int bits = 16;
    double referenceVolts = 4.93;
    // The step of a meter that quantizes at a scale that matters (the
    // on-board converter's 1.2 mV); 0 for a bench meter.
    double meterStepVolts = 0;
};

// A value and its expanded uncertainty; no uncertainty without a spread to
// tell it (one sample per code).
struct Figure {
    double value = 0;
    std::optional<double> uncertainty;
};

// One value of a per-code figure, signed, and where.
struct Extreme : Figure {
    std::int32_t code = 0; // a DNL step's lower code
};

// A per-code figure as datasheets give it: its most negative and its most
// positive value, each with its code and uncertainty.
struct Span {
    Extreme min, max;
    // The one of larger size: the figure as one number of merit.
    const Extreme& largest() const { return max.value >= -min.value ? max : min; }
};

enum class Monotonic {
    Yes,         // every step of the fit range measured, each positive beyond its uncertainty
    No,          // a step goes down beyond its uncertainty
    Unresolved,  // neither: a step lies within its uncertainty of 0
    NotMeasured, // no step goes down, but the plan left steps of the fit range out
};

// "yes", "no" or "not shown" (Unresolved, NotMeasured), as reports and JSON
// say it.
const char* monotonicWord(Monotonic m);

struct CodeFigures {
    std::int32_t code = 0;
    double inlEndpoint = 0, inlBestFit = 0; // LSB
};

struct StepFigures {
    std::int32_t code = 0; // from code to code + 1
    double dnl = 0;        // LSB
};

struct Figures {
    Figure zeroCode;                   // mV
    Figure fullScale;                  // % of full scale
    Figure offset;                     // mV
    Figure gain;                       // % of full scale
    Span inlEndpoint, inlBestFit, dnl; // LSB
    Monotonic monotonic = Monotonic::Yes;
    // Flat or Falling: a dead output, or a meter's leads the wrong way
    // round. There is then no line to measure INL, DNL and the steps
    // against, and they are left empty; the output is not monotonic.
    Response response = Response::Follows;
    // The step nearest to going down, in LSB of the best-fit line.
    Extreme smallestStep;
    // With Unresolved: the step that is least clear of 0 for its
    // uncertainty, which need not be the smallest one.
    Extreme unresolvedStep;

    double idealLsbVolts = 0;
    double lsbVolts = 0;              // of the best-fit line
    std::optional<double> noiseVolts; // the pooled spread of one reading
    double singleCoverage = 2;        // the factor of every expanded uncertainty
    std::vector<CodeFigures> codes;   // in the fit range, ascending
    std::vector<StepFigures> steps;   // between neighbouring codes in the fit range
    // What a reader should know beside the figures, one sentence each:
    // "codes 0000–0016 at the output's floor".
    std::vector<std::string> notes;
};

// The figures of the measured codes (ascending, each once). Needs 0, the
// largest code and the fit range's ends among them (every plan has them);
// std::invalid_argument otherwise.
Figures computeFigures(const std::vector<CodeMeasurement>& measured, const Setup& setup);

// The factor that gives about 95 % coverage to `count` independent normal
// values at once, each within it: for a decision over all of them.
double extremeCoverage(std::size_t count);

} // namespace qd::measure

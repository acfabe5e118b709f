#pragma once

// The largest of a per-code figure's measured values as an estimate of the
// largest of its true values. Standard C++ only.
//
// The largest of many noisy values overstates the largest true one: every
// code near the top has its own chance to be lifted by its noise, and the
// maximum takes the luckiest. How much depends on how many codes compete,
// that is on the figure's shape near its extreme: a sharp peak, one code
// above the rest by many standard uncertainties, is not lifted at all; the
// flat top of a bow, a hundred codes within one standard uncertainty of
// each other, by over two. So the estimate is in three steps:
//
// - the shape: the values with the noise smoothed away, as the one of a
//   few candidate shapes that predicts the readings best by Mallows' Cp
//   (the noise's variance is known from the samples' spread): a quadratic
//   in the code between the carries into the top k bits, for k = 0 to 6
//   (a converter's INL steps at those carries and is smooth between
//   them), in which a code that stands out of its quadratic beyond the
//   noise's reach keeps its own value (a spike is the converter's, not
//   noise); or every code its own value, which a converter whose INL
//   follows none of the quadratics chooses, and which corrects less;
// - the excess: the expected largest of independent normal values about
//   that shape, each with its code's standard uncertainty, less the
//   shape's own largest value, computed exactly from the distribution of
//   the maximum (the product of the values' normal distributions),
//   integrated numerically; it is taken off the measured largest value;
// - the uncertainty: the maximum's standard deviation from the same
//   distribution, with what the shape's own noise adds to first order:
//   the excess's variance through the fit (its gradient in the shape is
//   each code's chance to be the largest), less twice its covariance
//   with the measured maximum.
//
// Checked against a simulated lot's truth by tests/bench/coverage.py:
// each extreme's interval holds the truth 93 to 97.5 % of the time, its
// median error within 0.2 of the interval. A single code that stands out
// of a flat top by about as much as the noise's maximum there cannot be
// told from that noise, and is taken for it.
//
// The code stays the one with the largest measured value: where the
// extreme was seen.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qd::measure {

struct ExtremeEstimate {
    std::size_t index = 0; // of the largest measured value
    double value = 0;
    double uncertainty = 0; // standard, not expanded
};

// The noise of the line the values are measured against, as two
// independent errors of one standard uncertainty: value i moves by
// first[i] with the one and by second[i] with the other. An endpoint
// line's ends are measured once each, so that the codes near one end move
// together and apart from those near the other: which end the extreme is
// seen at is chosen by that noise too, and the excess is averaged over it
// (Gauss-Hermite, three points each way).
struct LineNoise {
    std::vector<double> first, second;
};

// Of values measured at ascending `codes` of an N-bit converter, each with
// the standard uncertainty of its own noise (independent between codes;
// 0 for a value known exactly), and with the line's noise when given.
// `smooth` false takes each value as its own shape (a figure with no shape
// to borrow from its neighbours, as DNL's steps). Needs at least one value.
ExtremeEstimate estimateLargest(const std::vector<std::int32_t>& codes,
                                const std::vector<double>& values,
                                const std::vector<double>& uncertainties, int bits, bool smooth,
                                const LineNoise* line = nullptr);

} // namespace qd::measure

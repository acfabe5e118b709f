#pragma once

// A record's scaling as each dialect gives it, brought to one linear form,
// and the record's bytes into volts. Standard C++ only, so that each
// dialect's arithmetic is tested on its own.

#include "measure/Waveform.h"
#include "scope/Family.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace qd::scope {

// volts = (code − yReference) × yIncrement + yOrigin and
// time = (i − xReference) × xIncrement + xOrigin, the code as the transfer
// carries it.
struct Preamble {
    int width = 1; // bytes a sample
    bool isSigned = false;
    bool msbFirst = true;
    int points = 0;   // samples the record holds
    int averages = 0; // 0: the dialect does not tell
    double xIncrement = 0, xOrigin = 0, xReference = 0;
    double yIncrement = 0, yOrigin = 0, yReference = 0;
};

// Asks the scope one query and gives its answer.
using Ask = std::function<std::string(const std::string& query)>;

// The preamble of the record the family's data query gives next, asked
// through `ask`; nullopt, with why, for an answer that is not one (a wrong
// field count, a field that is no number, no sample interval). With
// `requested` points asked for, a family that tells its whole memory's
// depth instead is held to them.
std::optional<Preamble> readPreamble(const Family& family, int requested, const Ask& ask,
                                     std::string& why);

// The samples in `bytes`, nullopt with why when their count disagrees with
// the preamble's. A sample is clipped when any acquisition averaged into it
// was at the ADC's lowest or highest code, which on `adcBits` bits sits at
// the top of a wider transfer's word.
std::optional<measure::Waveform> decode(const Preamble& preamble, std::string_view bytes,
                                        int adcBits, std::string& why);

// An answer without the header some dialects put before it ("C1:VDIV ",
// ":WFMOUTPRE:YMULT "), white space trimmed.
std::string bodyOf(std::string_view answer);

// The number in an answer, its header and its unit (V, S, Sa, Sa/s, pts,
// with a G, M, k, m, u, n or p before it) taken off; nullopt for none.
std::optional<double> numberIn(std::string_view answer);

} // namespace qd::scope

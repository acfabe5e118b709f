#pragma once

// What the scope's front end and ADC make of the board's last step: the
// input through a first-order bandwidth, the converter's and the scope's
// own noise, codes clipped beyond the ADC's range, and an overdriven front
// end that reads wrong for its recovery time. Pure, standard C++.

#include "boardmodel/BoardModel.h"
#include "simscope/Dialects.h"

#include <cstdint>
#include <vector>

namespace qd::simscope {

// How one acquisition samples: the screen's scale and centre, and the
// samples' times after the update.
struct Setup {
    double voltsPerDivision = 1;
    double centreVolts = 0;
    double firstSeconds = 0; // the first sample's time after the update
    double interval = 1e-9;  // between samples
    int points = 0;
    int averages = 1; // acquisitions of the step, each with its own noise
    double bandwidthHz = 200e6;
    // The scope's own errors: what it shows of a volt away from the
    // screen's centre, and how long its second is.
    double gain = 1;
    double timebase = 1;
};

// The code of each point, 0 to limits.maxCode() with limits.midCode() at
// the screen's centre, averaged over setup.averages acquisitions: a whole
// code unless averaged. Acquisition k (from `firstAcquisition`) draws the
// noise of its own observations.
std::vector<double> acquire(const boardmodel::BoardModel& board, const Limits& limits,
                            const Setup& setup, std::uint64_t seed, std::uint64_t firstAcquisition);

// The quiet input after the scope's first-order bandwidth, at each
// sample's time.
std::vector<double> filtered(const boardmodel::BoardModel& board, const Setup& setup);

} // namespace qd::simscope

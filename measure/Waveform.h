#pragma once

// A scope's record of the converter's output around a code update, as the
// dynamic figures are worked out from it. Standard C++ only: the scope's
// client fills it in from its preamble and its binary block, whatever the
// maker's dialect.

#include <cstdint>
#include <string>
#include <vector>

namespace qd::measure {

struct Waveform {
    // Time of sample 0 after the trigger, which is the code update, and the
    // time between samples; seconds.
    double startSeconds = 0;
    double intervalSeconds = 0;
    // Each sample in volts, as the scope's vertical scale and offset turn
    // its ADC codes into volts.
    std::vector<double> volts;
    // 1 where the sample was at the ADC's lowest or highest code: the
    // signal was off the screen there, and the front end overdriven.
    std::vector<std::uint8_t> clipped;
    // One ADC code in volts at the scale set, and how many acquisitions
    // each sample averages (1: none).
    double codeVolts = 0;
    int averages = 1;

    double timeOf(std::size_t sample) const {
        return startSeconds + intervalSeconds * static_cast<double>(sample);
    }
};

// How the scope was set up for a waveform and who it is: kept with the run
// as its method, so that a reader can judge what the scope could resolve.
struct ScopeSetup {
    std::string identity;        // the *IDN? answer
    std::string calibrationDate; // yyyy-mm-dd, "" where the scope does not tell it
    std::string family;          // the dialect spoken: InfiniiVision, DS1000Z, ...
    int adcBits = 8;
    double bandwidthHz = 0;
    double voltsPerDivision = 0;
    double offsetVolts = 0; // the volts at the screen's centre
    double secondsPerDivision = 0;
    double sampleIntervalSeconds = 0;
    int averages = 1;
    int points = 0;
};

} // namespace qd::measure

#pragma once

// How each family of bench oscilloscopes is told to capture one channel
// around an external trigger and give its record: const data chosen by the
// *IDN? answer, as the meter's families are. Standard C++ only.

#include <array>
#include <string>
#include <vector>

namespace qd::scope {

// How a family's preamble gives the record's scaling.
enum class Dialect {
    InfiniiVision, // :WAVeform:PREamble?, (code − yref) × yinc + yorigin
    Ds1000z,       // :WAVeform:PREamble?, (code − yorigin − yref) × yinc
    Tektronix,     // WFMOutpre:*?, (code − YOFf) × YMUlt + YZEro
    Siglent,       // VDIV, OFST, TDIV, TRDL, SARA: code × VDIV/25 − OFST
};

struct Family {
    const char* name;
    // The *IDN? maker field that selects it: any of the '|'-separated
    // names, any case.
    const char* makers;
    Dialect dialect;
    // Sent in order after *RST and *CLS, each checked with errorQuery;
    // {vdiv}, {offset}, {tdiv}, {position} and {points} are filled in.
    std::array<const char*, 20> configure;
    // Then one or the other; {count} is the number of averages.
    std::array<const char*, 3> normal;
    std::array<const char*, 3> average;
    const char* errorQuery;
    // The channel's offset is volts added to the signal (the screen's
    // centre is its negative), not the volts at the screen's centre.
    bool offsetAddsToSignal;
    // {position} is the part of the record before the trigger in percent,
    // not the time at the screen's centre.
    bool positionInPercent;
    // Asked and its answer dropped before arming: it clears a trigger
    // latched earlier. nullptr: none.
    const char* beforeArm;
    const char* arm;
    // Whether it has triggered since armed: an answer among
    // triggeredAnswers ('|'-separated, header dropped, any case).
    const char* triggeredQuery;
    const char* triggeredAnswers;
    // Whether the acquisition (all its averages) has ended: an answer among
    // doneAnswers, or with runningBit, a number without that bit.
    const char* stateQuery;
    const char* doneAnswers;
    int runningBit;
    // What was set, read back: V/div, offset (as the dialect gives it),
    // s/div, and the sample rate where the dialect tells it (nullptr).
    const char* scaleQuery;
    const char* offsetQuery;
    const char* timebaseQuery;
    const char* sampleRateQuery;
    // The record as a definite-length block.
    const char* dataQuery;
    // A family whose memory's depth is its own choice, however many points
    // were asked for: the whole record is read, this command telling how
    // many points ({points}) before the data query. nullptr: the points
    // asked for are the record's.
    const char* readAll;
    // How deep that memory is, where the preamble tells only the points
    // read: a number, or AUTO, when the depth is the sample rate times the
    // screen's time.
    const char* depthQuery;
    // Average counts: from minAverages to maxAverages, powers of two only
    // where the family takes no other.
    int minAverages;
    int maxAverages;
    bool averagesPowerOfTwo;
    // Its last calibration's date; nullptr where the dialect has no query.
    const char* calibrationQuery;
    // Figures the dialect does not tell, as the family's common models have
    // them.
    int adcBits;
    double bandwidthHz;
    int verticalDivisions;
    int horizontalDivisions;
    double finestVoltsPerDivision;
    double coarsestVoltsPerDivision;
    double maxSampleRate;
    int maxPoints;
};

const std::vector<Family>& families();

// The family an *IDN? answer's maker names; nullptr for another maker.
const Family* familyOf(const std::string& identity);

// The families' names, for a message: "InfiniiVision, DS1000Z, Tektronix
// or Siglent".
std::string familyNames();

} // namespace qd::scope

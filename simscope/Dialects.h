#pragma once

// The scopes sim-scope can be: each answers *IDN? as that scope does and
// takes, of what capturing a code update's step needs, the commands its
// maker's programming manual gives, as const data. Standard C++ only: qdctl
// checks --family against the names without loading the module.

#include <array>
#include <cstdint>
#include <string_view>

namespace qd::simscope {

// The command sets, one bit each; a command of the table in SimScope.cpp
// names the sets that have it.
enum Dialect : std::uint8_t {
    InfiniiVision = 1, // Keysight InfiniiVision 2000/3000/4000 X
    Ds1000z = 2,       // Rigol DS1000Z
    Tektronix = 4,     // Tektronix MSO/DPO 2 to 6 series
    Siglent = 8,       // Siglent SDS1000X-E, SDS2000X
};

struct Family {
    std::string_view name; // as --family takes it
    Dialect dialect;
    // *IDN?'s fields.
    std::string_view maker, model, serial, firmware;
    int horizontalDivisions;
    // Digits of a binary block's length: 0 as few as it needs, 9 always
    // nine (#9000001200).
    int blockDigits;
    // The average count a *RST leaves, and whether a count must be a power
    // of two.
    int defaultAverages;
    bool powersOfTwo;
};

inline constexpr std::array<Family, 4> kFamilies = {{
    {"InfiniiVision", InfiniiVision, "KEYSIGHT TECHNOLOGIES", "DSO-X 3034T", "MY61000001",
     "07.50.2021102830", 10, 0, 8, false},
    {"DS1000Z", Ds1000z, "RIGOL TECHNOLOGIES", "DS1104Z", "DS1ZA000000001", "00.04.04.SP4", 10, 9,
     2, true},
    {"Tektronix", Tektronix, "TEKTRONIX", "MSO44", "C000001", "CF:91.1CT FV:1.0.0", 10, 0, 16,
     false},
    {"Siglent", Siglent, "Siglent Technologies", "SDS1202X-E", "SDS1EDE000001", "8.2.6.1.37R9", 14,
     0, 16, false},
}};

// The family of that name, any case; nullptr when there is none.
constexpr const Family* familyNamed(std::string_view name) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
    for (const Family& f : kFamilies) {
        bool same = f.name.size() == name.size();
        for (std::size_t i = 0; same && i < name.size(); ++i) {
            same = lower(f.name[i]) == lower(name[i]);
        }
        if (same) {
            return &f;
        }
    }
    return nullptr;
}

// The scope's own limits, as the command line sets them.
struct Limits {
    int bits = 8;                    // 8, 10 or 12
    double bandwidthHz = 200e6;      // first order
    double maxSampleRate = 1e9;      // samples per second
    int recordLength = 10000;        // points at most
    double recoverySeconds = 100e-9; // wrong samples after an overdrive
    // Front-end noise referred to the screen, and its floor.
    double noiseDivisions = 0.1;
    double noiseFloorVolts = 50e-6;
    // Its makers' accuracy: the vertical gain within ±2 % and the timebase
    // within ±25 ppm. Each scope has its own errors within them, drawn
    // from its seed, which no client knows, as on a bench.
    double gainErrorBound = 0.02;
    double timebaseErrorBound = 25e-6;

    int maxCode() const { return (1 << bits) - 1; }
    int midCode() const { return 1 << (bits - 1); }
    // One code is a 25th of a division on 8 bits (a 100th on 10, a 400th
    // on 12): the codes span 10.24 divisions, a little more than the
    // screen's 8.
    double codesPerDivision() const { return 25.0 * (1 << (bits - 8)); }
};

// What the bandwidth limit (BWLimit and its kin) leaves.
inline constexpr double kBandwidthLimitHz = 20e6;
// What an overdriven front end reads wrong by just after the input comes
// back within the codes, in divisions toward the side it was beyond; it
// falls as (1 - s)^2 over the recovery time (s from 0 to 1).
inline constexpr double kRecoveryDivisions = 0.5;
// The re-arm time of each acquisition, and a transfer's rate.
inline constexpr double kRearmSeconds = 20e-6;
inline constexpr double kTransferBytesPerSecond = 1e6;

} // namespace qd::simscope

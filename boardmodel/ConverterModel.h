#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace qd::boardmodel {

// The simulated board's converter with a real part's static errors, as
// QD_BOARD_MODEL describes it:
//
//   x    = F / 2^D
//   e    = 1e-6 * (msb1*bit(D-1) + ... + msb4*bit(D-4) + 4*bow*x*(1-x))
//   Vout = clamp(Vref*(1 + gain/100)*(x + e) + offset/1000 + n, floor/1000, Vref)
//
// for a data field F of D bits; n is Gaussian output noise of `noise` µV
// rms from a generator seeded by `seed`, so a run is repeatable. All zero
// is the ideal converter. Plain data: it is stored in the board's record,
// so that every process sees the converter the board was fitted with.
struct ConverterModel {
    double offset = 0;              // mV
    double gain = 0;                // % of full scale
    double bow = 0;                 // ppm of full scale at mid-scale
    std::array<double, 4> msb = {}; // weight errors of the four top bits, ppm of full scale
    double noise = 0;               // µV rms
    double floor = 0;               // mV: the lowest output the amplifier drives
    std::uint64_t seed = 0;

    // offset=-1.2,gain=-0.04,bow=30,msb1=12,msb2=-7,msb3=4,noise=15,floor=0.5,seed=1
    static ConverterModel typical();

    // Unit `unit` of a lot: `typical` with each parameter drawn around it
    // (offset sigma 0.5 mV, gain 0.02 %, bow 10 ppm, msb1 to msb3 4 ppm; noise
    // and floor as typical), the same for the same seed and unit in any
    // process, and its own noise.
    static ConverterModel lotUnit(std::uint64_t seed, int unit);

    // "ideal", "typical" or a comma-separated list of name=value (missing
    // names are 0). nullopt, with what is wrong in `why`, for any other text.
    static std::optional<ConverterModel> parse(std::string_view text, std::string& why);

    bool ideal() const { return *this == ConverterModel{}; }
    bool operator==(const ConverterModel&) const = default;

    // "ideal", "typical", or the list of the parameters that are not 0,
    // which parse() reads back as the same model.
    std::string text() const;

    // The output for a data field before noise and the output's limits.
    double quietVolts(std::uint32_t field, int dataBits, double referenceVolts) const;

    // The output as driven: with the noise sample `noiseVolts`, held within
    // the floor and the reference.
    double volts(std::uint32_t field, int dataBits, double referenceVolts, double noiseVolts) const;

    // The output noise, in volts, of observation `index` by observer
    // `stream`: the same numbers for the same seed, stream and index in any
    // process.
    double noiseVolts(std::uint64_t stream, std::uint64_t index) const;
};

static_assert(std::is_trivially_copyable_v<ConverterModel> &&
              std::is_standard_layout_v<ConverterModel>);
static_assert(sizeof(ConverterModel) == 80);

// A standard normal deviate that depends only on its three arguments.
double normalDeviate(std::uint64_t seed, std::uint64_t stream, std::uint64_t index);

// Who observes the output, each with its own noise samples.
inline constexpr std::uint64_t kBoardConverterStream = 1; // the on-board measuring converter
inline constexpr std::uint64_t kMeterOutputStream = 2;    // the bench meter's probes
inline constexpr std::uint64_t kMeterOwnStream = 3;       // the bench meter's own noise

} // namespace qd::boardmodel

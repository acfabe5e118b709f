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
//
// In time, after a code update from V0 to V1 (distance d = |V1 - V0|), the
// output slews at `slew` V/µs until it is slew*tau from V1 and then settles
// as e^(-t/tau), so its slope is continuous at the knee; a step smaller
// than slew*tau settles exponentially from the start. tau 0 is a pure slew,
// slew 0 an unlimited slew (a pure exponential), both 0 a jump. A
// transition that flips the top data bit (the major carry, 7FFF -> 8000 on
// 16 bits, either way, as well as any larger step across mid-scale) adds one
// raised-cosine lobe, g(t) = A/W * (1 - cos(2 pi t / W)) for 0 <= t <= W, of
// net area A = `glitch` nV·s and width W = `glitchwidth` ns (0: 50 ns).
struct ConverterModel {
    double offset = 0;              // mV
    double gain = 0;                // % of full scale
    double bow = 0;                 // ppm of full scale at mid-scale
    std::array<double, 4> msb = {}; // weight errors of the four top bits, ppm of full scale
    double noise = 0;               // µV rms
    double floor = 0;               // mV: the lowest output the amplifier drives
    std::uint64_t seed = 0;
    double slew = 0;        // V/µs; 0: unlimited
    double tau = 0;         // µs: the first-order settling's time constant
    double glitch = 0;      // nV·s: the major carry's lobe, net area, either sign
    double glitchwidth = 0; // ns; 0 is the default width, kDefaultGlitchWidthNs

    static constexpr double kDefaultGlitchWidthNs = 50;

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

    // Whether the transition between two data fields of `dataBits` bits is a
    // major carry: the top bit differs.
    static bool majorCarry(std::uint32_t fromField, std::uint32_t toField, int dataBits);

    // The quiet output (no noise), held within the floor and the reference
    // as volts() holds it, `secondsAfterUpdate` after the code changed from
    // `fromField` to `toField`; before the update, the settled old output.
    double stepVolts(std::uint32_t fromField, std::uint32_t toField, int dataBits,
                     double referenceVolts, double secondsAfterUpdate) const;

    // The same between two outputs before their limits, with the glitch's
    // lobe when `majorCarry`; for outputs that are not two codes' (a
    // converter powered down or up).
    double transitionVolts(double fromVolts, double toVolts, bool majorCarry,
                           double secondsAfterUpdate) const;

    // The glitch's lobe alone, in volts, `secondsAfterUpdate` after a major
    // carry.
    double glitchVolts(double secondsAfterUpdate) const;

    // The glitch's width in seconds, the default when not given.
    double glitchSeconds() const;

    // The truths a measurement of the step is judged against.
    //
    // Seconds from the update until the quiet output last enters
    // [V1 - band, V1 + band] around the new output V1 and stays there, the
    // glitch's lobe included; 0 when it never leaves it.
    double settlingSeconds(std::uint32_t fromField, std::uint32_t toField, int dataBits,
                           double referenceVolts, double bandVolts) const;
    // The steepest slope of the step, V/µs: `slew` when the step is larger
    // than slew*tau, d/tau when it is not or slew is 0; infinity for a jump.
    double slewRate(std::uint32_t fromField, std::uint32_t toField, int dataBits,
                    double referenceVolts) const;
    // The glitch impulse of the transition, nV·s: the lobe's net area
    // (`glitch`) and its absolute area (|glitch|: one lobe), 0 for a
    // transition that is no major carry. The step's own approach to its
    // new value is not part of it.
    struct GlitchImpulse {
        double net = 0;
        double absolute = 0;
    };
    GlitchImpulse glitchImpulse(std::uint32_t fromField, std::uint32_t toField, int dataBits) const;
};

static_assert(std::is_trivially_copyable_v<ConverterModel> &&
              std::is_standard_layout_v<ConverterModel>);
static_assert(sizeof(ConverterModel) == 112);

// A standard normal deviate that depends only on its three arguments.
double normalDeviate(std::uint64_t seed, std::uint64_t stream, std::uint64_t index);

// Who observes the output, each with its own noise samples.
inline constexpr std::uint64_t kBoardConverterStream = 1; // the on-board measuring converter
inline constexpr std::uint64_t kMeterOutputStream = 2;    // the bench meter's probes
inline constexpr std::uint64_t kMeterOwnStream = 3;       // the bench meter's own noise
inline constexpr std::uint64_t kScopeOutputStream = 4;    // the scope's probe on the output
inline constexpr std::uint64_t kScopeOwnStream = 5;       // the scope's own front end

} // namespace qd::boardmodel

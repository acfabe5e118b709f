#pragma once

// The figures of a characterization, static and dynamic, each declared
// once: its name (in --json, the results store, a station's summary and the
// datasheet),
// its unit, the --limits key that judges it, and the words a datasheet and
// a limit's message name it by. Every table that lists figures takes them
// from here, in the order it shows them.

namespace qd::measure {

struct FigureKind {
    const char* name;
    const char* unit;
    const char* limitKey;  // as --limits takes it; "" when it is not judged
    bool perCode;          // given as its least and largest over the codes
    const char* heading;   // a datasheet's row: "Zero-code error"
    const char* inMessage; // a limit's message: "zero-code error"
};

// A table, a figure a line.
// clang-format off
inline constexpr FigureKind kZeroCodeError{"zero_code_error_mv", "mV", "zero", false, "Zero-code error", "zero-code error"};
inline constexpr FigureKind kFullScaleError{"full_scale_error_percent", "%", "fullscale", false, "Full-scale error", "full-scale error"};
inline constexpr FigureKind kOffsetError{"offset_error_mv", "mV", "offset", false, "Offset error", "offset error"};
inline constexpr FigureKind kGainError{"gain_error_percent", "%", "gain", false, "Gain error", "gain error"};
inline constexpr FigureKind kInlBestFit{"inl_best_fit_lsb", "LSB", "inl", true, "INL (best fit)", "best-fit INL"};
inline constexpr FigureKind kInlEndpoint{"inl_endpoint_lsb", "LSB", "inl_endpoint", true, "INL (endpoint)", "endpoint INL"};
inline constexpr FigureKind kDnl{"dnl_lsb", "LSB", "dnl", true, "DNL", "DNL"};
inline constexpr FigureKind kSmallestStep{"smallest_step_lsb", "LSB", "", false, "Smallest step", "smallest step"};
// clang-format on

// The dynamic figures, from a scope's records of a code update (Dynamic.h).
// clang-format off
inline constexpr FigureKind kSettlingTime{"settling_time_us", "µs", "settling", false, "Settling time", "settling time"};
inline constexpr FigureKind kSlewRate{"slew_rate_v_per_us", "V/µs", "slew", false, "Slew rate", "slew rate"};
inline constexpr FigureKind kGlitchImpulse{"glitch_impulse_nvs", "nV·s", "glitch", false, "Glitch impulse", "glitch impulse"};
inline constexpr FigureKind kGlitchImpulseAbs{"glitch_impulse_abs_nvs", "nV·s", "glitch_abs", false, "Glitch impulse, absolute area", "glitch impulse's absolute area"};
// clang-format on

} // namespace qd::measure

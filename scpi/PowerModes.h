#pragma once

// The power modes by name: one set for the command line and the instrument,
// so that a name that works in one works in the other. Each mode has its
// SCPI mnemonic (short or long form) and the word the command line has
// always printed; either is taken, in any case. Standard C++ only.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace qd::scpi {

struct PowerModeName {
    std::int16_t mode;         // the frame's two power-down bits
    std::string_view mnemonic; // NORMal, PD1K, PD100K, TSTate
    std::string_view word;     // normal, 1k, 100k, three-state
};

inline constexpr std::array<PowerModeName, 4> kPowerModeNames{{
    {0, "NORMal", "normal"},
    {1, "PD1K", "1k"},
    {2, "PD100K", "100k"},
    {3, "TSTate", "three-state"},
}};

// The mode `name` stands for; nullopt for a name that is none.
std::optional<std::int16_t> findPowerMode(std::string_view name);

// The word the command line prints for a mode, 0 to 3.
std::string_view powerModeWord(int mode);

// The short form the instrument answers for a mode: NORM, PD1K, PD100K, TST.
std::string_view powerModeAnswer(int mode);

} // namespace qd::scpi

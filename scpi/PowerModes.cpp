#include "scpi/PowerModes.h"

#include "scpi/Parser.h"

namespace qd::scpi {

std::optional<std::int16_t> findPowerMode(std::string_view name) {
    for (const PowerModeName& m : kPowerModeNames) {
        if (matchesMnemonic(m.mnemonic, name) || equalsIgnoringCase(m.word, name)) {
            return m.mode;
        }
    }
    return std::nullopt;
}

std::string_view powerModeWord(int mode) {
    return kPowerModeNames.at(static_cast<std::size_t>(mode)).word;
}

std::string_view powerModeAnswer(int mode) {
    return shortForm(kPowerModeNames.at(static_cast<std::size_t>(mode)).mnemonic);
}

} // namespace qd::scpi

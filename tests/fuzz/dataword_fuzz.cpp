// The data-word command on arbitrary typed text, for each resolution: either
// the error path (empty box, nothing sent) or four upper-case digits of a code
// within range and exactly one frame sent.

#include "RecordingBoard.h"
#include "control/DataWord.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view typed(reinterpret_cast<const char*>(data), size);
    for (const auto& device : qd::control::kDevices) {
        qd::control::ControlState state;
        state.applyStartupDefaults();
        state.selectDevice(device);
        RecordingBoard board;
        const auto outcome = qd::control::ProgramDac(typed, state, board);
        if (outcome.failed) {
            if (!outcome.text.empty() || !board.writes.empty()) {
                std::abort();
            }
            continue;
        }
        if (outcome.text.size() != 4 || board.writes.size() != 1) {
            std::abort();
        }
        for (const char c : outcome.text) {
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
                std::abort();
            }
        }
        const long code = std::strtol(outcome.text.c_str(), nullptr, 16);
        if (code > (1L << device.resolution) - 1) {
            std::abort();
        }
    }
    return 0;
}

#pragma once

#include "control/ControlState.h"

#include <cstdint>
#include <stdexcept>
#include <vector>

// A board for the control logic's tests: records every frame and answers
// reads from a queue.
struct RecordingBoard : qd::control::Board {
    struct Write {
        std::int16_t frameLength;
        std::int32_t frame;
    };
    std::vector<Write> writes;
    std::vector<std::int32_t> readings;
    bool failWrites = false;

    void WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) override {
        if (failWrites) {
            throw std::runtime_error("write failed");
        }
        writes.push_back({frameLength, frame});
    }
    std::int32_t ReadConverter() override {
        const std::int32_t r = readings.empty() ? 0 : readings.front();
        if (!readings.empty()) {
            readings.erase(readings.begin());
        }
        return r;
    }
};

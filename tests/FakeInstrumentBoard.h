#pragma once

// An evaluation board for the instrument's tests: the converter's output and
// the measuring converter as an ideal board has them, behind the
// InstrumentBoard interface, with faults on demand.

#include "board/BoardFacts.h"
#include "serve/Instrument.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

struct FakeInstrumentBoard final : qd::serve::InstrumentBoard, qd::control::Board {
    explicit FakeInstrumentBoard(const qd::control::ControlState& controlState)
        : state(controlState) {}

    struct Write {
        std::int16_t frameLength;
        std::int32_t frame;
        std::int16_t mode; // the control state's power mode at the time
    };

    const qd::control::ControlState& state;
    std::vector<Write> writes;
    std::string id = "SIM-1";
    bool present = true;          // ready() throws -241 otherwise
    bool failWrites = false;      // WriteShiftRegister throws -240
    bool failReads = false;       // ReadConverter throws -240
    bool ignorePowerDown = false; // the output stays driven in every mode
    int offsetCounts = 0;         // added to every reading
    std::int32_t rawHighBits = 0; // set above the 12 bits of every reading
    double referenceVolts = qd::board::kDefaultReferenceVolts;

    void ready() override {
        if (!present) {
            throw qd::serve::BoardError(-241, "no board");
        }
    }
    qd::control::Board& board() override { return *this; }
    std::string identifier() override { return id; }

    void WriteShiftRegister(std::int16_t frameLength, std::int32_t frame) override {
        if (failWrites) {
            throw qd::serve::BoardError(-240, "request 221 failed");
        }
        writes.push_back({frameLength, frame, state.PowerMode});
    }

    std::int32_t ReadConverter() override {
        if (failReads) {
            throw qd::serve::BoardError(-240, "request 218 failed");
        }
        return counts() | rawHighBits;
    }

    // What the measuring converter reads of the last frame: the power-down
    // bits right above the data field, as the board decodes them; the offset
    // is the measuring converter's, so it shows in every mode.
    std::int32_t counts() const {
        int ideal = 0;
        if (!writes.empty()) {
            const Write& w = writes.back();
            const int dataBits = qd::board::frameDataBits(w.frameLength);
            const int mode = (w.frame >> dataBits) & 3;
            if (mode == 0 || ignorePowerDown) {
                const double fraction = (w.frame & ((1 << dataBits) - 1)) / double(1 << dataBits);
                ideal = qd::board::idealReading(fraction, referenceVolts);
            }
        }
        return std::clamp(ideal + offsetCounts, 0, qd::board::kAdcCounts - 1);
    }
};

#pragma once

// What the board's converters do with a frame: the DAC, with the errors of
// its converter model, and the 12-bit measuring converter. Pure, shared by
// the simulated board, the simulated meter and the emulated USB device.

#include "board/BoardFacts.h"
#include "boardmodel/ConverterModel.h"

#include <array>
#include <cstdint>

namespace qd::boardmodel {

// Board faults a test can ask for.
struct BoardFaults {
    bool ignorePowerDown = false; // the converter ignores its power-down bits
};

// What the board's converter and measuring converter do with a frame; pure,
// shared by the simulated board and the emulated USB device.
struct BoardModel {
    double referenceVolts = board::kDefaultReferenceVolts;
    BoardFaults faults;
    ConverterModel converter;

    // Shifts a frame whose length (16 or 24) is the index's high byte into
    // the converter, the last one becoming the previous one, and counts the
    // update; false for an index that names no frame length.
    bool writeFrame(std::uint32_t value, std::uint32_t index);

    // The output voltage the converter drives now, as observation `index`
    // of observer `stream` sees it (the converter's noise differs between
    // observations; the ideal converter has none).
    double outputVolts(std::uint64_t stream = 0, std::uint64_t index = 0) const;

    // The output `secondsAfterUpdate` after the last update, on its way from
    // what the previous frame drove (0 V when it drove nothing) to what the
    // last one drives, as observation `index` of observer `stream` sees it:
    // the converter's step (ConverterModel::stepVolts) with its noise, held
    // within its limits. Long after the update, outputVolts().
    double stepVolts(double secondsAfterUpdate, std::uint64_t stream = 0,
                     std::uint64_t index = 0) const;
    // The same without the noise: what a filter in front of the observer
    // takes in.
    double quietStepVolts(double secondsAfterUpdate) const;

    // The 12-bit measuring converter's reading of the output, its
    // observation `index`.
    std::uint16_t measure(std::uint64_t index = 0) const;

    // The two reply bytes of a read request: high byte first, each with its
    // bit order reversed, as the board's firmware sends them.
    std::array<std::uint8_t, 2> readReply(std::uint64_t index = 0) const;

    // Share of full scale an ideal converter would drive, 0 when powered
    // down.
    double outputFraction() const;

    std::uint32_t lastValue = 0;
    std::uint32_t lastIndex = 0;
    bool written = false;
    // The frame before the last, and how many frames were written: the last
    // step, for whoever watches the output move.
    std::uint32_t previousValue = 0;
    std::uint32_t previousIndex = 0;
    bool previousWritten = false;
    std::uint64_t updates = 0;

    // The data field and its width of a frame and index.
    static int dataBitsOf(std::uint32_t index);
    static std::uint32_t fieldOf(std::uint32_t value, std::uint32_t index);

  private:
    // Whether the converter drives its output with the frame `value` at
    // `index`, `wasWritten`, and not powered down.
    bool drives(bool wasWritten, std::uint32_t value, std::uint32_t index) const;
    bool driven() const { return drives(written, lastValue, lastIndex); }
    // The data field of the last frame.
    std::uint32_t field() const { return fieldOf(lastValue, lastIndex); }
    // The quiet output a frame drives, before the output's limits.
    double quietVolts(bool wasWritten, std::uint32_t value, std::uint32_t index) const;
    // The last step before the noise and the output's limits, and with them.
    double stepBeforeLimits(double secondsAfterUpdate) const;
    double stepVolts(double secondsAfterUpdate, std::uint64_t stream, std::uint64_t index,
                     bool noisy) const;
};

} // namespace qd::boardmodel

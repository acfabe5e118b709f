#pragma once

// The evaluation board as an SCPI instrument: one message in, its response
// line out, with the IEEE 488.2 status and the SCPI error queue kept here.
// Standard C++ only; the network is the server's business.
//
// Behaviour beyond the command list:
// - A setting changes only once the board has taken it: after a failed
//   write, CODE?, PMODe? and FRAMe? still tell what the board last got.
//   CODE? and FRAMe? are 0 before anything was written.
// - Writing needs a converter (SYSTem:DEVice or selectDevice): CODE,
//   PMODe, VOLTage and VOLTage? give -221 until then. MEASure needs none.
// - CODE and VOLTage take MINimum and MAXimum; a code must be a whole
//   number (-224 otherwise). VOLTage:REFerence writes nothing; it scales
//   VOLTage, VOLTage? and *TST?'s expected reading.
// - PMODe? answers the short forms NORM, PD1K, PD100K, TST; SYSTem:DEVice?
//   the caption, or NONE.
// - *RST without a converter resets the settings and writes nothing.
//   *TST? answers 1 also when it could not run (no converter, a board
//   failure); its reasons are in the error queue.
// - Queries take no parameters (-108).
// - *ESR? bits: 2 query, 3 device-specific, 4 execution, 5 command error.
//   Bit 2 stays 0 in practice: answers are sent as soon as their message
//   has run, so there is no query to interrupt or leave unterminated.
//   *STB? bits: 2 error queue not empty, 5 any *ESR? bit set (there is no
//   *ESE mask). There is no service request (*SRE) and no MAV bit.

#include "control/ControlState.h"
#include "control/Tables.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qd::scpi {

// What the board throws when a request fails (-240 "Hardware error") or no
// board is there (-241 "Hardware missing"). The detail, if any, follows the
// standard text in the error queue ("-240,"Hardware error;<detail>"").
// Other numbers are reported as -240.
class BoardError : public std::runtime_error {
  public:
    BoardError(int scpiCode, std::string detail)
        : std::runtime_error(std::move(detail)), code_(scpiCode) {}
    int code() const noexcept { return code_; }

  private:
    int code_;
};

// The board as the instrument sees it, implemented over the real link by
// qdctl and by a fake in the tests. Every call may throw BoardError.
class InstrumentBoard {
  public:
    virtual ~InstrumentBoard() = default;

    // Called before every use of board(): makes sure a board is there,
    // reconnecting when it is back after having gone; throws
    // BoardError(-241) when there is none.
    virtual void ready() = 0;

    // The board commands. Their WriteShiftRegister takes the power mode from
    // the ControlState the instrument was given, as control's boards do.
    virtual Board& board() = 0;

    // The board identifier for *IDN?; should not need the board itself.
    virtual std::string identifier() = 0;
};

class Instrument {
  public:
    static constexpr std::size_t kErrorQueueSize = 16;
    // Allowed deviation of *TST? in measuring-converter counts, as qdctl
    // selftest's default.
    static constexpr int kSelfTestTolerance = 2;

    // Takes the state as it is (its power mode too), with no converter
    // chosen and nothing written; both references must outlive it. version
    // is the last *IDN? field.
    Instrument(ControlState& state, InstrumentBoard& board, std::string version);

    // Runs one message (without its line end) to completion and returns its
    // response line without the LF: the answers of its queries joined by
    // ';', empty when it has none. Never throws for anything a client sends
    // or a board does; failures go to the error queue.
    //
    // A command error (-1xx) ends the message: the units before it have
    // run, the rest is dropped. An execution (-2xx) or device (-3xx) error
    // ends only its own unit; a query that fails gives no answer, so a
    // message whose every query fails has no response at all.
    std::string execute(std::string_view message);

    // An error found outside any message, e.g. -363 by the framing.
    void reportError(int code, std::string_view detail = {});

    // The converter fitted, as `--device` chooses it at start (caption as in
    // kDevices, any case); false for a name that is none. Choosing another
    // converter than before forgets the code, which was not written to it.
    bool selectDevice(std::string_view caption);

  private:
    friend struct Handlers;

    struct QueuedError {
        int code;
        std::string text;
    };

    void requireDevice() const;
    // Writes code in mode; the settings change only when the board took it.
    void write(std::int32_t code, std::int16_t mode);
    std::int32_t largestCode() const;

    ControlState& state_;
    InstrumentBoard& board_;
    std::string version_;

    const DeviceProfile* device_ = nullptr;
    std::int32_t code_ = 0;  // last code written
    std::int32_t frame_ = 0; // last frame written
    double referenceVolts_;

    std::deque<QueuedError> errors_;
    std::uint8_t eventStatus_ = 0;
};

} // namespace qd::scpi

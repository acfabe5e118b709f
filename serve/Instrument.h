#pragma once

// The evaluation board as an SCPI instrument: one message in, its response
// line out. The board's settings are the instrument's and shared by every
// client; each client has its own SCPI error queue and IEEE 488.2 status
// registers (ClientStatus), as each interface of an instrument has. Standard
// C++ only; the network is the server's business.
//
// Behaviour beyond the command list:
// - A setting changes only once the board has taken it: after a failed
//   write, CODE?, PMODe? and FRAMe? still tell what the board last got.
//   CODE? and FRAMe? are 0 before anything was written.
// - Writing needs a converter (SYSTem:DEVice or selectDevice): CODE,
//   PMODe, VOLTage and VOLTage? give -221 until then. MEASure needs none.
// - SOURce is an optional root node: VOLT 1.2 is SOUR:VOLT 1.2.
// - CODE and VOLTage take MINimum and MAXimum, and so do their queries
//   (CODE? MAX answers the largest code, VOLT? MAX the level of that code);
//   a code must be a whole number (-224 otherwise). Voltages take the
//   suffixes V and MV (any case; -131 for another, -138 on a number that
//   takes none). VOLTage:REFerence writes nothing; it scales VOLTage,
//   VOLTage? and *TST?'s expected reading, and takes 0.5 V to 4.93 V
//   (board::kMinReferenceVolts to kMaxReferenceVolts), -222 beyond.
// - PMODe takes NORMal, PD1K or 1k, PD100K or 100k, TSTate or three-state,
//   any case; PMODe? answers the short forms NORM, PD1K, PD100K, TST;
//   SYSTem:DEVice? the caption, or NONE.
// - Readings are in volts at full precision: counts x 4.93 / 4096, written
//   out exactly.
// - *RST without a converter resets the settings and writes nothing.
//   *TST? answers 1 also when it could not run (no converter, a board
//   failure); its reasons are in the error queue.
// - Other queries take no parameters (-108).
// - *ESR? bits: 0 operation complete (*OPC), 2 query, 3 device-specific,
//   4 execution, 5 command error. Bit 2 stays 0 in practice: answers are
//   sent as soon as their message has run, so there is no query to
//   interrupt or leave unterminated, and every operation is complete when
//   its message ends (*OPC sets bit 0 at once, *WAI has nothing to wait
//   for). *STB? bits: 2 error queue not empty, 5 event summary (*ESR? AND
//   *ESE), 6 master summary (the others AND *SRE). There is no service
//   request over a socket and no MAV bit. *ESE and *SRE are 0 for a new
//   client and kept by *CLS.
// - SYSTem:LOCK:REQuest? answers 1 when the client now holds the lock
//   (requests nest; each needs its RELease), 0 while another holds it.
//   Meanwhile the others' commands that change the instrument (settings,
//   *RST, and *TST?, which drives the output) give -200 "Execution error;
//   locked by another connection"; their queries are answered, and what
//   touches only their own status (*CLS, *ESE, *SRE, *OPC, *WAI) works. A
//   client that goes lets go of its lock.

#include "control/ControlState.h"
#include "control/Tables.h"
#include "scpi/Status.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qd::serve {

using scpi::ClientStatus;
using scpi::kErrorQueueSize;
using scpi::Responder;

using control::Board;
using control::ControlState;
using control::DeviceProfile;

// What the board throws when a request fails (-240 "Hardware error") or no
// board is there (-241 "Hardware missing"). The detail, if any, follows the
// standard text in the error queue ("-240,"Hardware error;<detail>"").
// Other numbers are reported as -240.
class BoardError : public std::runtime_error {
  public:
    BoardError(int scpiCode, const std::string& detail)
        : std::runtime_error(detail), code_(scpiCode) {}
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

class Instrument final : public Responder {
  public:
    static constexpr std::size_t kErrorQueueSize = scpi::kErrorQueueSize;
    // Takes the state as it is (its power mode too), with no converter
    // chosen and nothing written; both references must outlive it. version
    // is the last *IDN? field.
    Instrument(ControlState& state, InstrumentBoard& board, std::string version);

    // Runs one message of `client` (without its line end) to completion and
    // returns its response line without the LF: the answers of its queries
    // joined by ';', empty when it has none. Never throws for anything a
    // client sends or a board does; failures go to the client's error queue.
    //
    // A command error (-1xx) ends the message: the units before it have
    // run, the rest is dropped. An execution (-2xx) or device (-3xx) error
    // ends only its own unit; a query that fails gives no answer, so a
    // message whose every query fails has no response at all.
    std::string execute(std::string_view message, ClientStatus& client) override;

    // An error found outside any message, e.g. -363 by the framing.
    void reportError(ClientStatus& client, int code, std::string_view detail = {}) override;

    // A client that is gone: its lock, if it held one, is let go.
    void forget(const ClientStatus& client) override;

    // The same for a single client of the instrument's own, as a program
    // that is the only client uses it.
    std::string execute(std::string_view message) { return execute(message, ownClient_); }
    void reportError(int code, std::string_view detail = {}) {
        reportError(ownClient_, code, detail);
    }

    // The converter fitted, as `--device` chooses it at start (caption as in
    // kDevices, any case); false for a name that is none. Choosing another
    // converter than before forgets the code, which was not written to it.
    bool selectDevice(std::string_view caption);

  private:
    friend struct Handlers;

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

    const ClientStatus* lockHolder_ = nullptr;
    ClientStatus ownClient_;
};

} // namespace qd::serve

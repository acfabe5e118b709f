#pragma once

// A digital oscilloscope whose channel 1 probes the simulated board's output
// and whose external trigger is the board's code update, as an SCPI
// instrument: of what capturing a step needs, the commands of one family of
// scopes (Dialects.h), so that a client that works against it speaks what
// that scope speaks. Anything else is -113. It is no more precise than a
// real one: an ADC of a few bits, a bandwidth, a sample rate and record
// length, noise, clipping and a front end that recovers slowly from an
// overdrive (Acquisition.h). Standard C++ only: the board's record it looks
// at comes from outside.

#include "boardmodel/BoardModel.h"
#include "scpi/Status.h"
#include "simscope/Acquisition.h"
#include "simscope/Dialects.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qd::simscope {

// The board as a look at its record finds it, its last step whole. Throws
// std::runtime_error with the reason when the record cannot be looked at.
using Look = std::function<boardmodel::BoardModel()>;

class SimScope final : public scpi::Responder {
  public:
    // timeScale: how much of the acquisition and transfer time passes in
    // real time (QD_SCOPE_TIME_SCALE; 0 at once).
    SimScope(Look look, std::string version, std::uint64_t seed, const Family& family,
             const Limits& limits, double timeScale);

    std::string execute(std::string_view message, scpi::ClientStatus& client) override;
    void reportError(scpi::ClientStatus& client, int code, std::string_view detail = {}) override;
    void forget(const scpi::ClientStatus&) override {}

    // Triggers when armed and the board's update count has changed since;
    // ends an acquisition whose time has passed. The server calls it often
    // (every millisecond) and before each message.
    void poll();

    // Settings as *RST leaves them.
    void reset();

  private:
    friend struct ScopeCommands;
    using Clock = std::chrono::steady_clock;
    enum class State { Stopped, Armed, Acquiring, Done };
    enum class Mode { Normal, Average, HighResolution, Peak };

    void arm(bool opcWaits);
    // Waits (polling, bounded) while an armed acquisition *OPC? waits for
    // is not done.
    void waitUntilDone();
    // The setup the present settings give, its averages included.
    Setup setup() const;
    double span() const { return timeScale_ * family_.horizontalDivisions; }
    double centreVolts() const;
    double firstSeconds() const;
    // The points a transfer sends: the first (0-based), how many, and the
    // step between them.
    struct Range {
        std::size_t first = 0, count = 0, step = 1;
    };
    Range transferRange() const;
    // Bytes per point of a transfer, and whether they keep an average's
    // fraction (16 bits of InfiniiVision and Tektronix).
    int width() const;
    bool keepsFraction() const;
    // Levels of a transfer's code per division, and the code at the
    // screen's centre when unsigned.
    double levelsPerDivision() const { return keepsFraction() ? 6400 : 25; }
    double middle() const { return keepsFraction() ? 32768 : 128; }
    // The last acquisition's setup, or the present one before any.
    Setup shown() const { return codes_.empty() ? setup() : acquired_; }
    // The codes of the last acquisition (or none) as a transfer sends them.
    std::string encoded() const;
    std::string block(const std::string& bytes) const;
    void charge(double seconds) const;

    Look look_;
    std::string version_;
    std::uint64_t seed_;
    double gain_ = 1, timebase_ = 1; // its own errors, within its limits' bounds
    const Family& family_;
    Limits limits_;
    double realTime_;

    // Vertical: the family's own offset and position; see centreVolts().
    double scale_ = 1, offset_ = 0, position_ = 0;
    bool bandwidthLimit_ = false;
    // Horizontal: s/div, the family's own position (firstSeconds()), and
    // InfiniiVision's reference (0 left, 0.5 centre, 1 right).
    double timeScale_ = 1e-6, timePosition_ = 0, reference_ = 0.5;
    int record_ = 0; // points asked for; 0: the most
    Mode mode_ = Mode::Normal;
    int averages_ = 8;
    // Transfer: 16-bit, least significant byte first, signed, ASCII.
    bool word_ = false, lsbFirst_ = false, signed_ = false, ascii_ = false;
    std::size_t start_ = 1, stop_ = 0;          // 1-based; stop 0: the last
    std::size_t sparsing_ = 1, firstPoint_ = 0; // Siglent's WFSU

    State state_ = State::Stopped;
    bool opcWaits_ = false;
    bool triggered_ = false; // since :TER? or INR? last told
    std::uint64_t armedAt_ = 0;
    Clock::time_point doneAt_;
    std::uint64_t acquisitions_ = 0; // each with its own noise
    std::uint64_t completed_ = 0;    // in the last sequence
    Setup acquired_;                 // how the last data were taken
    std::vector<double> codes_;      // the last data
};

} // namespace qd::simscope

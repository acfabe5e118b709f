#pragma once

// A 6½-digit bench DMM whose probes sit on the simulated board's output, as
// an SCPI instrument: the command set of a real meter's DC volts function,
// in the dialect of one family of meters (Dialects.h), so that a driver that
// works against it speaks the dialect that meter speaks. Anything else is
// -113. Standard C++ only: the output it reads and the time a reading takes
// come from outside.

#include "scpi/Status.h"
#include "simmeter/Dialects.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qd::simmeter {

// What the probes see: the output at observation `index`, in volts. Throws
// std::runtime_error with the reason when the output cannot be looked at.
using Probe = std::function<double(std::uint64_t index)>;

// Waits while a reading integrates, for `seconds` of the meter's time.
using Integrate = std::function<void(double seconds)>;

class SimMeter final : public scpi::Responder {
  public:
    // Noise of the meter itself at 1 NPLC, µV rms; it falls with the root
    // of the integration time.
    static constexpr double kNoiseMicrovolts = 30;

    // fault: how it misbehaves, as --fault says (Dialects.h).
    SimMeter(Probe probe, Integrate integrate, std::string version, std::uint64_t seed = 0,
             const Family& family = kFamilies.front(), Fault fault = {});

    std::string execute(std::string_view message, scpi::ClientStatus& client) override;
    void reportError(scpi::ClientStatus& client, int code, std::string_view detail = {}) override;
    void forget(const scpi::ClientStatus&) override {}

    // Settings as *RST leaves them: auto range, 10 NPLC, auto-zero on, one
    // sample, immediate trigger.
    void reset();

  private:
    friend struct MeterCommands;

    // One reading in the present settings, formatted as the meter sends it.
    std::string reading();
    std::string readings();
    // A reading query's answer as sent, a stale one behind it when due.
    std::string answered(std::string readings);
    double rangeFor(double volts) const;
    double lowest() const { return family_.ranges.front(); }
    double highest() const { return family_.ranges.back(); }

    Probe probe_;
    Integrate integrate_;
    std::string version_;
    std::uint64_t seed_;
    const Family& family_;
    Fault fault_;
    std::string lastReadings_; // the answer of the last reading query
    std::uint64_t index_ = 0;

    double range_ = 10;
    bool autoRange_ = true;
    double nplc_ = 10;
    bool autoZero_ = true;
    int samples_ = 1;
    bool busTrigger_ = false;
    std::vector<std::string> memory_; // what INITiate took, for FETCh?
};

} // namespace qd::simmeter

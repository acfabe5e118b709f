#pragma once

// A bench oscilloscope over SCPI, set up to capture channel 1 around a
// trigger on its external input and read the record in volts. How each
// family is told so is const data chosen by its *IDN? answer (Family.h).

#include "measure/Waveform.h"
#include "meter/Instrument.h"
#include "meter/Transport.h"
#include "scope/Family.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace qd::scope {

// What the scope is set to capture.
struct Acquisition {
    double voltsPerDivision = 0;
    double centreVolts = 0; // the volts at the screen's centre
    double secondsPerDivision = 0;
    // The time of the record's first sample after the trigger: negative
    // to see what came before it.
    double startSeconds = 0;
    int averages = 1; // 1: a normal acquisition
    // The record's length asked for; DS1000Z and Siglent choose their
    // memory's depth from the timebase themselves, and all of it is read.
    int points = 0;
};

// What it can do: what the dialect does not tell is its family's.
struct Capabilities {
    double finestVoltsPerDivision = 0;
    double coarsestVoltsPerDivision = 0;
    int adcBits = 8;
    double bandwidthHz = 0;
    double maxSampleRate = 0;
    int maxPoints = 0;
    int verticalDivisions = 8;
    int horizontalDivisions = 10;
    int minAverages = 2;
    int maxAverages = 2;
    bool averagesPowerOfTwo = false;
};

// Figures of the scope at hand that its family's are not: a 12-bit model
// of a family whose common ones have 8, a bandwidth option.
struct Options {
    std::optional<int> adcBits;
    std::optional<double> bandwidthHz;
    meter::Instrument::Notice notice;
};

// A scope's reset alone takes seconds.
inline constexpr std::chrono::milliseconds kDefaultTimeout{10000};

class Scope {
  public:
    // Asks *IDN? and, where the family tells it, the date of the last
    // calibration. MeterError, naming the four families, for another maker.
    Scope(std::unique_ptr<meter::Transport> transport, std::string resource,
          std::chrono::milliseconds timeout = kDefaultTimeout, Options options = {});

    const std::string& identity() const { return io_.identity(); }
    // yyyy-mm-dd, where the family tells it.
    const std::optional<std::string>& calibrationDate() const { return calibrationDate_; }
    const Family& family() const { return *family_; }
    Capabilities capabilities() const;

    // *RST and *CLS, then the family's commands, each checked with its error
    // queue; what was set is read back for setup(). MeterError for a
    // setting beyond the scope's, before anything is sent, or naming the
    // command it refused and its error.
    void configure(const Acquisition& acquisition);
    // A single acquisition armed; returns once the scope says it waits for
    // its trigger.
    void arm();
    // Polled after arm(): whether it has triggered, and whether the
    // acquisition, all its averages, has ended.
    bool triggered();
    bool done();
    // The record of the last acquisition: its preamble, then its block.
    // MeterError for a preamble or block that disagree or are malformed.
    measure::Waveform read();
    // What was set and read back, for the run's record; the sample interval
    // once a record was read, or as the scope's sample rate tells it.
    measure::ScopeSetup setup() const { return setup_; }

    const std::string& resource() const { return io_.resource(); }

  private:
    std::string ask(const std::string& query) { return io_.query(query); }
    double askNumber(const char* query);
    bool answerIn(const char* query, const char* answers);
    void check(const Acquisition& a) const;
    void readBack();
    int memoryDepth();
    void askCalibrationDate();
    [[noreturn]] void fail(const std::string& what) const { io_.fail(what); }

    meter::Instrument io_;
    Options options_;
    const Family* family_ = nullptr;
    std::optional<std::string> calibrationDate_;
    Acquisition acquisition_;
    measure::ScopeSetup setup_;
    bool configured_ = false;
    bool triggered_ = false;
};

// The scope at a VISA resource (TCPIP::HOST[::PORT]::SOCKET,
// TCPIP::HOST::INSTR, a USBTMC device file), as the meter is reached.
// std::invalid_argument, saying what to write, for text that names none;
// MeterError for a scope that cannot be reached or does not answer.
std::unique_ptr<Scope> openScope(const std::string& resource,
                                 std::chrono::milliseconds timeout = kDefaultTimeout,
                                 Options options = {});

// Who the scope at `resource` says it is: its *IDN? answer, its family and
// its last calibration ("" where not told). Nothing is set up or reset.
struct ScopeIdentity {
    std::string identity, family, calibration;
};
ScopeIdentity identifyScope(const std::string& resource,
                            std::chrono::milliseconds timeout = kDefaultTimeout);

} // namespace qd::scope

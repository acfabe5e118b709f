#pragma once

// The one measurement loop: each code programmed, settled, measured and
// handed to every sink, with progress, an end on request after the row in
// hand, and an end on the first failure with every row before it kept.
// `sweep` and `characterize` are what builds its codes and takes its rows;
// a recording of the run or another board's loop are more sinks and more
// loops. Standard C++ only.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <stdexcept>
#include <vector>

namespace qd::measure {

// A probe that answered with another count of values than it was asked for.
class ProbeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The codes a loop measures, in order: a range with a step, which needs no
// memory however long, or a list.
class Codes {
  public:
    static Codes range(std::int32_t from, std::int32_t to, std::int32_t step);
    static Codes list(std::vector<std::int32_t> codes);
    std::size_t size() const { return size_; }
    std::int32_t operator[](std::size_t i) const;

  private:
    std::vector<std::int32_t> list_;
    std::int32_t from_ = 0, step_ = 1;
    std::size_t size_ = 0;
};

// One code measured: the frame written for it and what the probe read, one
// value a sample, in the probe's unit.
struct Row {
    std::int32_t code = 0;
    std::int32_t frame = 0;
    std::vector<double> values;
};

// Writes `code` to the converter; returns the frame written.
using Program = std::function<std::int32_t(std::int32_t code)>;
// Measures the output as it is now: `samples` values.
using Probe = std::function<std::vector<double>(int samples)>;
// Takes each row as it is measured: a results file, statistics, a plot.
using Sink = std::function<void(const Row& row)>;

struct LoopSettings {
    int samples = 1;
    double settleMs = 0; // between programming a code and measuring it
    // After each row, with the rows done so far; may be empty.
    std::function<void(std::size_t done)> progress;
    // Asked before each code: non-zero (the signal) ends the loop there.
    std::function<int()> stop;
};

struct LoopOutcome {
    std::size_t rows = 0; // measured and handed to every sink
    int signal = 0;       // what asked the loop to end early, or 0
    // What ended the loop early by failing, rethrown by the caller; the
    // row in hand is not among `rows`.
    std::exception_ptr failure;
    double seconds = 0;      // the whole loop
    double probeSeconds = 0; // settling and measuring alone
};

LoopOutcome runLoop(const Codes& codes, const Program& program, const Probe& probe,
                    const std::vector<Sink>& sinks, const LoopSettings& settings);

} // namespace qd::measure

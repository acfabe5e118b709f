#pragma once

// A run's readings written as they are measured: the measurement loop
// hands each row over at once and goes on, and a writer thread commits
// what has come in every quarter of a second, in one transaction. A program
// killed at any moment so loses no reading older than that; a store that
// fails stops recording, never the measurement.
//
// A command of a handful of readings (program, read) would spend more on
// starting and stopping that thread than on its readings: it writes each
// code's readings itself as they come, and loses none when killed.

#include "results/Store.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace qd::results {

class Recorder {
  public:
    static constexpr auto kCommitEvery = std::chrono::milliseconds(250);

    // Who commits the readings: a writer thread, for a loop of many; or the
    // caller of add(), at once, for a handful.
    enum class Writer { Thread, Caller };

    Recorder(Store& store, std::string run, Writer writer = Writer::Thread);
    ~Recorder(); // commits what is left
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // A code's samples, 1 to N, and the frame written for it.
    void add(std::int32_t code, std::int32_t frame, const std::vector<double>& values);
    // Waits until every reading handed over is committed; "" then, or what
    // made the store fail.
    std::string finish();

  private:
    void write();
    // Writer::Caller's add(), under the lock.
    void commitPending();

    Store& store_;
    std::string run_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::vector<Reading> pending_;
    bool stopping_ = false, writing_ = false, flushNow_ = false;
    std::string failure_;
    std::int64_t sequence_ = 0;
    std::thread writer_;
};

} // namespace qd::results

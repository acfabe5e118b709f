#pragma once

#include "run/Context.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace qd::qdctl {

// "2:05": a time left as progress lines give it.
std::string minutesAndSeconds(double seconds);

// How far a long sweep has got, its rate and the time left, on standard
// error: a bar redrawn in place on a terminal, plain lines every few seconds
// otherwise (a log file or a CI job), nothing with --quiet.
class Progress final : public run::Watcher {
  public:
    // `what` names the command in plain lines. A sweep's rows cost
    // microseconds, so it looks at the clock every 64 rows and shows nothing
    // for up to 256; a characterization's codes take a meter's time, so
    // `slow` shows every code's progress from the first. A station's slot
    // (`forStation`) gives every update as a line the station reads
    // (run/StationProtocol.h), which draws the progress of all slots
    // itself.
    Progress(bool enabled, const char* what = "sweep", bool slow = false, bool forStation = false);
    void started(std::size_t total) override;
    void progress(std::size_t done, std::size_t total) override;
    // Ends the bar's line on a terminal.
    void finished() override;

  private:
    void show(std::size_t done, std::chrono::steady_clock::time_point now);

    std::size_t total_ = 0;
    bool enabled_;
    bool slow_;
    bool forStation_;
    const char* what_;
    std::size_t every_;
    bool terminal_;
    std::chrono::steady_clock::time_point begin_;
    std::chrono::steady_clock::time_point lastShown_;
    bool shown_ = false;
};

} // namespace qd::qdctl

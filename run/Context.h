#pragma once

// What a run is handed by whoever starts it (a command, a station, a
// window): where it is kept, what may stop it, and who watches it. Nothing
// of it is process-wide, so that two runs in one process keep apart.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace qd::measure {
struct Row;
} // namespace qd::measure

namespace qd::meter {
class Transport;
struct Resource;
} // namespace qd::meter

namespace qd::run {

class Recording;

// Who watches a run's progress: a terminal's bar, a station's lines, a
// window's progress bar.
class Watcher {
  public:
    virtual ~Watcher() = default;
    // The loop of `total` codes begins.
    virtual void started(std::size_t total) = 0;
    // After each code, with the codes done of `total`.
    virtual void progress(std::size_t done, std::size_t total) = 0;
    // Each code's readings as they come, before `progress` counts it: what a
    // live plot draws. On the run's thread, so keep it short.
    virtual void measured(const measure::Row& /*row*/) {}
    // The loop is over, whether or not every code was measured.
    virtual void finished() {}
};

struct Context {
    explicit Context(Recording& kept) : recording(kept) {}

    Recording& recording;
    // Asked before each code: non-zero (a signal's number) ends the run
    // there, its rows kept.
    std::function<int()> stop = [] { return 0; };
    // May be null: nobody watches.
    Watcher* watcher = nullptr;
    // A line for the user while the run goes on (a meter that answered
    // twice and was read again); may be empty.
    std::function<void(const std::string&)> notice;
    // Called once the run has come to where a stop keeps its rows (the
    // board open, before the first code); what it gives is held until the
    // run is over. qdctl catches its stop signals only then, so that a
    // Ctrl-C before ends the program at once. May be empty.
    std::function<std::shared_ptr<void>()> holdStop;
    // How a meter's resource is reached; empty: meter::connect, the
    // system's carriers. A test gives its meter in the same process.
    std::function<std::unique_ptr<meter::Transport>(const meter::Resource&,
                                                    std::chrono::milliseconds timeout)>
        connectMeter;

    std::shared_ptr<void> stopHeld() const { return holdStop ? holdStop() : nullptr; }

    void say(const std::string& line) const {
        if (notice) {
            notice(line);
        }
    }
};

} // namespace qd::run

#pragma once

#include "drivers/Backend.h"
#include "drivers/BoardModel.h"

#include <optional>
#include <string>

namespace qd::drivers {

// How the simulated board is set up, from the QD_BOARD_* variables:
//   QD_BOARD_STATE  file holding the board's state between processes
//   QD_BOARD_TRACE  file that gets one line per operation, every field in it
//   QD_BOARD_VREF   the converter's reference voltage (default 4.93)
//   QD_BOARD_FAULT  comma-separated faults: download-fails, unplug-after=N,
//                   no-reply, ignore-power-down
struct SimBoardConfig {
    std::string statePath;
    std::string tracePath;
    double referenceVolts = board::kDefaultReferenceVolts;
    bool downloadFails = false;
    std::optional<long> unplugAfter; // requests after a download
    bool noReply = false;
    bool ignorePowerDown = false;

    static SimBoardConfig fromEnvironment();
};

// The board's state as it survives between processes.
struct SimBoardState {
    bool firmwareLoaded = false;
    bool unplugged = false;
    long requests = 0; // since the last download
    BoardModel model;
};

// A simulated board: state in a locked per-user file, so one process can
// program a code and another read it back, as with real hardware.
class SimBackend final : public Backend {
  public:
    explicit SimBackend(SimBoardConfig config);
    std::vector<int> findBoards() override;
    std::unique_ptr<BoardConnection> open(int board) override;

    const SimBoardConfig& config() const { return config_; }

    // Appends one line to the trace, if there is one.
    void trace(const std::string& line) const;

  private:
    SimBoardConfig config_;
};

// Reads the state file (a missing one is a board just powered up).
SimBoardState loadSimBoardState(const std::string& path);

} // namespace qd::drivers

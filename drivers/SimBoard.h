#pragma once

#include "boardmodel/BoardModel.h"
#include "drivers/Backend.h"
#include "drivers/SimConfig.h"
#include "drivers/SimState.h"

#include <memory>
#include <mutex>
#include <vector>

namespace qd::drivers {

using boardmodel::BoardModel;

class SimClaim;
class SimFaults;

// The simulated board: its state in a per-user file (SimState.h) that one
// process can program and a later one read back, as with real hardware,
// claimed by one process at a time; its faults and trace in SimFaults.h.
class SimBackend final : public Backend {
  public:
    explicit SimBackend(SimConfig config);
    ~SimBackend() override;

    // The board is there unless this process has seen it unplugged; these
    // look at the state file without claiming the board.
    std::vector<int> findBoards() override;
    std::vector<BoardInfo> listBoards() override;

    // Board 1's.
    const SimConfig& config() const { return *boards_.front().config; }

  protected:
    // The first connection claims the board; further connections of this
    // backend share that claim, as handles of one program share a board.
    std::unique_ptr<BoardConnection> openBoard(int board, LinkResult& why) override;

  private:
    // Each board's own files and converter, shared with its connections,
    // which may outlive the backend at exit, and its claim.
    struct Board {
        std::shared_ptr<const SimConfig> config;
        std::weak_ptr<SimClaim> claim;
    };
    std::vector<Board> boards_;
    std::shared_ptr<SimFaults> faults_;
    std::mutex mutex_;
};

// Whether a process set up as `config` may use the board whose record this
// is: a board keeps the converter it was fitted with when its record was
// made, and a QD_BOARD_MODEL that asks for another is refused (BadSetting),
// never taken silently. Quiet: without the diagnostic on standard error.
LinkResult checkConverter(const SimRecord& record, const SimConfig& config, bool quiet);

// The output as a probe on it sees it, without claiming the board: the last
// frame through the converter the board is fitted with, at the reference
// of the process that wrote it, and the frame before it and the count of
// updates, for the last step (BoardModel::stepVolts). What a missing state
// file gives is a board just powered up: 0 V. A look races the writer: one
// that must see a step whole looks until two looks agree.
struct SimOutput {
    LinkResult result; // a refused state file, or a converter other than asked for
    BoardModel model;
};
SimOutput peekSimOutput(const SimConfig& config);

} // namespace qd::drivers

#pragma once

#include "board/BoardFacts.h"
#include "boardmodel/ConverterModel.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qd::drivers {

using boardmodel::ConverterModel;

// How the simulated board is set up, from the QD_BOARD_* variables:
//   QD_BOARD_STATE  file holding the board's state between processes
//   QD_BOARD_TRACE  file that gets one line per operation, every field in it
//   QD_BOARD_VREF   the converter's reference voltage (default 4.93)
//   QD_BOARD_FAULT  comma-separated faults: download-fails, unplug-after=N,
//                   no-reply, ignore-power-down
//   QD_BOARD_MODEL  the converter a new board is fitted with: ideal (the
//                   default), typical, or name=value,... (ConverterModel.h);
//                   a board fitted otherwise is refused, never changed;
//                   lot or lot:seed=S fits each board with a unit of a lot
//                   (ConverterModel::lotUnit), drawn by the seed and its
//                   number
//   QD_BOARD_COUNT  how many boards there are (1 to 64, default 1), each with
//                   its own state, claim, trace, converter and USB serial
//                   (SIM0001...): board 1 has the files named above, board k
//                   those names with ".k" added
struct SimConfig {
    std::string statePath;
    // The folder of our own that holds the state when no place was given:
    // made if missing, and refused unless it is private. Empty when the
    // state file was named or lives in $XDG_RUNTIME_DIR.
    std::string privateFolder;
    std::string tracePath;
    double referenceVolts = board::kDefaultReferenceVolts;
    bool downloadFails = false;
    std::optional<long> unplugAfter; // requests after a download
    bool noReply = false;
    bool ignorePowerDown = false;
    // The converter asked for; nullopt when QD_BOARD_MODEL is unset, and
    // the board's own is taken.
    std::optional<ConverterModel> model;
    // How long opening the board waits for another process to let go of it
    // before it reports the board busy.
    std::chrono::milliseconds claimWait{2000};
    // How often, at most, a request looks at whether the claimed state file
    // was replaced or removed: a look is a system call, which costs a request
    // many times its own work, and only a look finds a name given to another
    // file. What is done to the file's bytes shows in its record and is found
    // by the next request whatever this is (SimClaim::record).
    std::chrono::milliseconds lookEvery{1};
    int boardCount = 1;
    std::optional<std::uint64_t> lotSeed; // QD_BOARD_MODEL=lot[:seed=S]

    // Board `board` (1 to boardCount) of these: its own files and, from a
    // lot, its own converter.
    SimConfig forBoard(int board) const;
    // "SIM0001" for board 1; 0 for a serial that names no simulated board.
    static std::string serialOf(int board);
    static int boardOfSerial(const std::string& serial);

    // A value it does not take raises LinkFailure(BadSetting), naming the
    // variable and what it takes: a board set up otherwise than asked would
    // pass for the one the user meant.
    static SimConfig fromEnvironment();

    // The board a probe that never claims it (the simulated meter, the
    // simulated scope) looks at, as the environment sets the boards up:
    // `board` by its number (0: the first) or by its `serial` (any case).
    // Raises LinkFailure for a setting refused, and for a board there is
    // not, naming the boards there are.
    static SimConfig probed(int board, const std::string& serial);
};

} // namespace qd::drivers

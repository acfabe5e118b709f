#pragma once

#include "boardmodel/ConverterModel.h"
#include "drivers/Backend.h"
#include "drivers/SimConfig.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace qd::drivers {

// The simulated board's state as it outlives a process, like the memory of
// a board that stays powered: a fixed-layout record in a per-user file. A
// connection maps it into memory, so a request reads and writes it without
// a system call, and whatever a process wrote is there for the next one
// even if it is killed a moment later. Host byte order: the file never
// leaves the machine.
struct SimRecord {
    static constexpr std::array<char, 8> kMagic = {'Q', 'D', '1', '6', 'B', 'R', 'D', '\0'};
    static constexpr std::uint32_t kVersion = 3;
    // Version 1 ended after holderName's padding; version 2 after a
    // converter that did not move in time (its first 80 bytes), with no
    // frame before the last.
    static constexpr std::size_t kVersion1Size = 64;
    static constexpr std::size_t kVersion2Size = 160;

    std::array<char, 8> magic = kMagic;
    std::uint32_t version = kVersion;
    std::uint8_t firmwareLoaded = 0; // 1 once a valid image runs
    std::uint8_t written = 0;        // 1 once a frame has been shifted in since then
    std::uint16_t reserved0 = 0;
    std::uint32_t lastValue = 0; // the last frame written and its index
    std::uint32_t lastIndex = 0;
    std::uint64_t requests = 0; // since the last download
    std::int32_t holderPid = 0; // the process that holds the board, 0 when none
    std::uint32_t reserved1 = 0;
    std::array<char, 16> holderName{}; // its name, NUL-terminated
    std::array<std::uint8_t, 8> reserved2{};
    // What the output is made of beyond the last frame, so that whoever
    // looks at the output without claiming the board (the simulated meter)
    // sees what the board drives: the reference of the process that wrote
    // the last frame, and the converter the board was fitted with when its
    // record was made.
    double referenceVolts = 0; // 0: nothing written since the record was made
    std::uint8_t modelFitted = 0;
    std::uint8_t ignorePowerDown = 0; // the fault, as the writing process had it
    std::array<std::uint8_t, 6> reserved3{};
    ConverterModel model;
    // The last step, for whoever watches the output move without claiming
    // the board (the simulated scope): the frame before the last, and a
    // count of frames written, which a watcher sees change at each update.
    std::uint32_t previousValue = 0;
    std::uint32_t previousIndex = 0;
    std::uint64_t updates = 0;
    std::uint8_t previousWritten = 0; // 1 when the frame before the last drove the output
    std::array<std::uint8_t, 7> reserved4{};
};

static_assert(std::is_trivially_copyable_v<SimRecord> && std::is_standard_layout_v<SimRecord>);
static_assert(sizeof(SimRecord) == 216);
static_assert(offsetof(SimRecord, version) == 8 && offsetof(SimRecord, firmwareLoaded) == 12 &&
              offsetof(SimRecord, lastValue) == 16 && offsetof(SimRecord, requests) == 24 &&
              offsetof(SimRecord, holderPid) == 32 && offsetof(SimRecord, holderName) == 40 &&
              offsetof(SimRecord, referenceVolts) == SimRecord::kVersion1Size &&
              offsetof(SimRecord, modelFitted) == 72 && offsetof(SimRecord, model) == 80 &&
              offsetof(SimRecord, previousValue) == 192 && offsetof(SimRecord, updates) == 200);
// Version 2's converter is the first part of this one, at the same place.
static_assert(offsetof(ConverterModel, slew) == 80 &&
              offsetof(SimRecord, model) + 80 == SimRecord::kVersion2Size);

// What the state file holds, read without claiming the board: a missing or
// empty file is a board just powered up. `result` is StateRefused, with the
// reason, for a file that must not be used.
struct SimStateView {
    LinkResult result;
    SimRecord record;
};
SimStateView peekSimState(const SimConfig& config);

// The board claimed by this process, as a USB interface is claimed: the
// state file is locked (flock; LockFileEx on Windows) and its record mapped
// for as long as this lives. Requests of two processes can therefore never
// interleave.
class SimClaim {
  public:
    // Claims the board, waiting up to config.claimWait for another process
    // to let go. nullptr, with a one-line diagnostic in `why`, when the
    // board is busy (naming the process that holds it) or the state file
    // is refused: a symlink, not a regular file, not the user's, writable
    // by others, or holding anything but a board record. A refused file is
    // never written to.
    static std::unique_ptr<SimClaim> take(const SimConfig& config, LinkResult& why);
    ~SimClaim();
    SimClaim(const SimClaim&) = delete;
    SimClaim& operator=(const SimClaim&) = delete;

    // The record, checked before each use. A state file that was emptied,
    // cut short, replaced or rewritten while claimed is a board whose power
    // was cut: its record is made again as a board just powered up, with
    // the converter it is fitted with, and `lostPower` says what became of
    // the file ("" when nothing did). What was done to the file's bytes is
    // found by the next request; a file replaced or removed, by the first
    // request once config.lookEvery has passed since the last look.
    // nullptr, with the reason in `why`, when the file now at the path
    // cannot be claimed.
    SimRecord* record(std::string& lostPower, LinkResult& why);

    // Fits the board with `model`, which it keeps across a loss of power.
    void fit(const ConverterModel& model);

    // The claimed file, open and locked (SimState.cpp).
    struct Hold;

  private:
    SimClaim(std::unique_ptr<Hold> hold, SimRecord* record, const SimConfig& config);

    // Whether config.lookEvery has passed since the last look, on a clock
    // that costs a request next to nothing to read.
    bool lookDue();

    // A record as the board has it when it powers up.
    void powerUp();

    std::unique_ptr<Hold> hold_;
    SimRecord* record_;
    SimConfig config_; // to claim a file put in the place of this one
    // The converter outlives the record: it is the board's, not its memory's.
    ConverterModel converter_;
    bool fitted_ = false;
    std::chrono::nanoseconds lastLook_;
};

// What claiming the board and looking at it are made of.

inline constexpr const char* kSimStateLibrary = "simulated board";

// A refusal of the state file or folder at `path`: quiet, for looking at
// the board, which must not print; or with its diagnostic.
LinkResult refusal(const std::string& what, const std::string& path, const std::string& reason);
LinkResult refuse(const std::string& what, const std::string& path, const std::string& reason);

// Why a record must not be used, or "".
std::string recordProblem(const SimRecord& r);
// The same as recordProblem(r).empty(), at the cost of two compares: each
// request asks it.
inline bool isBoardRecord(const SimRecord& r) {
    return r.magic == SimRecord::kMagic && r.version == SimRecord::kVersion;
}

// What a look at the state file at `path` found, once its bytes were read:
// `whole` is false when fewer than a record's came.
SimStateView viewOfRead(bool whole, const SimRecord& r, const std::string& path);

// Why a state file of `size` bytes cannot hold a board record, or "".
std::string sizeProblem(unsigned long long size);

// The board an older build left in a record of version 2, the first
// kVersion2Size bytes of `bytes`: as just powered up, fitted with the
// converter it had. false when they are no such record.
bool poweredUpFromVersion2(const void* bytes, SimRecord& poweredUp);

// Marks the record as held by this process, and as free again.
void markHeld(SimRecord& r);
void markFree(SimRecord& r);

// "process 1234 (qdctl)" for the holder `pid`, whose name the system tells
// or else the record does; "another process" when there is no pid.
std::string describeHolder(int pid, const SimRecord* record);

} // namespace qd::drivers

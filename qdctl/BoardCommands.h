#pragma once

#include "measure/Limits.h"
#include "measure/Loop.h"
#include "measure/SweepStatistics.h"
#include "run/Board.h"
#include "run/Characterize.h"
#include "run/Sweep.h"
#include "session/CommonOptions.h"
#include "session/ExitStatus.h"
#include "session/Session.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qd::qdctl {

using control::DeviceProfile;

// The session on a board, its options and its failures are what serve and
// sim-meter use too.
using session::CommonOptions;

// A sweep's rows and statistics are the measurement core's.
using measure::expectedCounts;
using measure::expectedVolts;
using measure::Response;
using measure::SweepRow;
using measure::SweepStatistics;
using measure::SweepSummary;

using run::CharacterizeResult;
using run::SweepResult;

// What each command found out; each turns its own into text, JSON and an
// exit status (an Outcome).

struct ProgramResult {
    std::string device, mode;
    std::string code;  // as the data-word box shows it
    std::string typed; // as given, when --clamp clamped it
    bool clamped = false;
    std::int32_t frame = 0;
    int frameBits = 0;
    std::uint32_t index = 0;
    bool downloaded = false; // the firmware was loaded (else it ran already)
};

struct ReadResult {
    std::int32_t counts = 0;
    double volts = 0;
};

struct VerifyResult {
    ProgramResult programmed;
    double expectedVolts = 0;
    std::int32_t expectedCounts = 0;
    double measuredVolts = 0;
    std::int32_t measuredCounts = 0;
    double tolerance = 0;
    bool pass = false;
};

struct ModeCheckResult {
    std::string mode;
    std::int32_t frame = 0;
    std::int32_t expectedCounts = 0;
    std::int32_t measuredCounts = 0;
    bool pass = false;
};

struct SelftestResult {
    std::string device;
    std::vector<ModeCheckResult> modes;
    bool pass = false;
    bool downloaded = false;
};

struct ListResult {
    std::string library;
    // Each board as the library describes it: "id=1 bus=1 port=2 …".
    std::vector<std::string> boards;
    bool canList = true;  // false: the library finds its board by itself and lists none
    bool detailed = true; // false: the library gives identifiers only
};

// A code as the data-word box takes it: the value, the text it shows, and
// what was typed when --clamp clamped it.
struct Code {
    std::int32_t value = 0;
    std::string shown;
    std::string clampedFrom;
};

// A code typed for `what` (the CODE, --from, --to): hexadecimal digits as
// the box takes them, within the device's range unless `clamp` asks for the
// box's clamping.
Code validateCode(const DeviceProfile& device, const std::string& typed, bool clamp,
                  const std::string& what);

} // namespace qd::qdctl

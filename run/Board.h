#pragma once

// The board as a run uses it: opened with the run on record, programmed by
// the measurement loop, and the loop's end told as a run's end.

#include "measure/Loop.h"
#include "run/Context.h"
#include "session/CommonOptions.h"
#include "session/Session.h"

#include <cstddef>
#include <map>
#include <string>

namespace qd::run {

class ResultsFile;

// After a measurement loop of `total` codes: a failure that ended it, as
// endEarly ends a run, with the meter's failures as MeterFailed.
void endLoop(const measure::LoopOutcome& outcome, std::size_t total, ResultsFile* csv,
             const Context& context);

// Opens the board as openSession does, recording the run's start first
// (so that a board that cannot be opened is on record too) with `fields`
// and what every run holds: device, power mode, link, firmware, converter.
session::Opened openRecorded(const session::CommonOptions& common,
                             const session::DeviceChoice& device, bool load, Recording& recording,
                             std::map<std::string, std::string> fields = {});

// The one loop as a run runs it: asking the context's stop before each
// code, its progress told to the context's watcher.
measure::LoopOutcome runWatched(const measure::Codes& codes, const measure::Program& program,
                                const measure::Probe& probe,
                                const std::vector<measure::Sink>& sinks,
                                measure::LoopSettings settings, const Context& context);

// What a measurement loop calls to program a code on `session`: the frame
// it wrote.
measure::Program programOn(session::Session& session);

} // namespace qd::run

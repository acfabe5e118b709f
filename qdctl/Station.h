#pragma once

// characterize --station: one characterization per slot of a station file,
// all at once, each a qdctl of its own with its own board, meter, files and
// recorded run, so that a slot whose board or meter fails ends alone.

#include "session/CommonOptions.h"

#include <string>
#include <vector>

namespace qd::qdctl {

// One line of a station file: BOARD METER [DUT-SERIAL].
struct StationSlot {
    int line = 0;
    std::string board; // a serial or an index, as qdctl list shows them
    std::string meter; // a resource, as --meter takes it
    std::string dut;   // the unit's serial, "" when not given

    // What its files are named by: the DUT serial, else slotN.
    std::string name(std::size_t number) const;
};

// The slots of a station file's text; Failure(BadArguments) naming
// "PATH:LINE" for a line that is not one, a board, meter or DUT given twice
// and a file with no slot at all.
std::vector<StationSlot> parseStation(const std::string& text, const std::string& path);

// The arguments every slot shares: the command line as given without what
// each slot has its own of (its board, meter, files, serial), what only the
// station itself does (--station, --out) and how it answers (--json,
// --quiet), which the station reads from its slots in its own form.
std::vector<std::string> sharedArguments(const std::vector<std::string>& arguments);

struct StationRequest {
    std::string file;      // the station file
    std::string out = "."; // the folder each slot's files go to
    std::string report;    // --report as given: its extension names the kind
    std::string plot;      // --plot as given, likewise
};

// Runs every slot to its end; 0 when each passed, 128 + the signal when one
// ended them, 1 otherwise. The summary (or the JSON) on standard output.
int runStation(const StationRequest& request, const session::CommonOptions& common);

} // namespace qd::qdctl

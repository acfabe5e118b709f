#pragma once

// characterize --station on the command line: the station's slots share
// this command line's arguments, and their progress and summary are shown
// here. The station itself is run/Station.h's.

#include "session/CommonOptions.h"

#include <string>

namespace qd::qdctl {

struct StationRequest {
    std::string file;      // the station file
    std::string out = "."; // the folder each slot's files go to
    std::string report;    // --report as given: its extension names the kind
    std::string plot;      // --plot as given, likewise
    std::string resume;    // the folder of the station's CSVs to finish; "" for none
};

// Runs every slot to its end; 0 when each passed, 128 + the signal when one
// ended them, 1 otherwise. The summary (or the JSON) on standard output.
int runStation(const StationRequest& request, const session::CommonOptions& common);

} // namespace qd::qdctl

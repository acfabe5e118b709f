#pragma once

// What the window does, said as the qdctl command that does the same: the
// line the log pane shows, made from the very setup the run is handed, so
// that the two cannot say different things.

#include "run/Characterize.h"
#include "run/DatasheetOutput.h"
#include "session/CommonOptions.h"

#include <string>
#include <vector>

namespace qd::bench {

// qdctl's arguments for `setup`, the program's name first, every option by
// its long name; the plan's settings always, the rest when they differ from
// what qdctl takes without them.
std::vector<std::string> characterizeArguments(const run::CharacterizeSetup& setup,
                                               const session::CommonOptions& common);

// qdctl's arguments for `request`, the program's name first: the lot as
// chosen (its --since as the user gave it, before it is read as a time),
// then where its CSV and pages go.
std::vector<std::string> datasheetArguments(const run::DatasheetRequest& request,
                                            const session::CommonOptions& common);

// qdctl's arguments for `qdctl runs` with `arguments` after it: the store
// the window reads (without its password) before the command's name.
std::vector<std::string> runsArguments(const session::CommonOptions& common,
                                       const std::vector<std::string>& arguments);

// `arguments` as one line a POSIX shell splits back into them.
std::string shellLine(const std::vector<std::string>& arguments);

} // namespace qd::bench

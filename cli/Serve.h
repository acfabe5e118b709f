#pragma once

#include "cli/Options.h"

namespace qd::cli {

// qdctl serve: the board as an SCPI instrument until the process is ended.
int serve(const Options& options, int argc, char** argv);

} // namespace qd::cli

#pragma once

#include "cli/Options.h"

namespace qd::cli {

// qdctl serve: the board as an SCPI instrument until the process is ended.
// It runs in a module of its own, loaded only for it, so that no other
// command loads Qt Network.
int serve(const Options& options);

// The module's entry: runs the server and returns qdctl's exit status,
// having reported any failure itself.
using ServeEntry = int (*)(const Options& options);
inline constexpr const char* kServeEntrySymbol = "qdctlServe";
inline constexpr const char* kServeModule = "qdctl-serve";

} // namespace qd::cli

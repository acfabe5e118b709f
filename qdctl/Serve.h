#pragma once

#include "qdctl/Options.h"

namespace qd::cli {

// qdctl serve: the board as an SCPI instrument until the process is ended.
// It runs in a module of its own, loaded only for it, so that no other
// command loads Qt Network.
int serve(const Options& options);

// qdctl sim-meter: the simulated bench DMM, a module of its own likewise.
int simMeter(const Options& options);

// A module's entry: runs its server and returns qdctl's exit status,
// having reported any failure itself.
using ServeEntry = int (*)(const Options& options);
inline constexpr const char* kServeEntrySymbol = "qdctlServe";
inline constexpr const char* kServeModule = "qdctl-serve";
inline constexpr const char* kSimMeterEntrySymbol = "qdctlSimMeter";
inline constexpr const char* kSimMeterModule = "qdctl-simmeter";

} // namespace qd::cli

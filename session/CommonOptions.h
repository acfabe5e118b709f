#pragma once

#include "control/Tables.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qd::session {

using control::DeviceProfile;

// What every command of qdctl takes, before its name: which link library,
// which board, which firmware, and how to answer.
struct CommonOptions {
    int link = 1;
    bool json = false;
    std::string firmware;    // the image beside qdctl unless given
    int board = 0;           // 0: the link library's own choice
    std::string boardSerial; // --board given as a USB serial: found in the board listing
    bool download = false;
    bool quiet = false;
    std::string commandLine;            // as typed, for the records that name what made them
    std::vector<std::string> arguments; // as given, after the program's name
    std::string results; // --results: the store's URL; "" for $QD_RESULTS or the default
};

// The converter fitted to the board and its power mode, as --device and
// --mode name them.
struct DeviceChoice {
    std::string device;          // a caption of kDevices; empty: none chosen
    std::string mode = "normal"; // the word of scpi::kPowerModeNames

    // The device named, or Failure(BadArguments) when none is.
    const DeviceProfile& deviceProfile() const;
    std::int16_t powerMode() const;
};

// What a server (serve, sim-meter) takes: where to listen and how many to
// serve for how long.
struct ServingOptions {
    std::string listen;
    int maxClients = 8;
    int idleTimeout = 30; // seconds a message may stay unfinished
};

// What sim-meter is besides a server: the family of meters it answers as
// (--family) and the fault it shows (--fault), as given.
struct SimMeterChoice {
    std::string family = "generic";
    std::string fault;
};

// What sim-scope is besides a server: the family of scopes it answers as
// and its own limits, as given.
struct SimScopeChoice {
    std::string family = "InfiniiVision";
    int bits = 8;
    double bandwidthHz = 200e6;
    double sampleRate = 1e9;
    int points = 10000;
    double recoveryNs = 100;
};

// All a server module is given.
struct ServerOptions {
    CommonOptions common;
    DeviceChoice device;
    ServingOptions serving;
    SimMeterChoice meter; // sim-meter only
    SimScopeChoice scope; // sim-scope only
};

// A server module's entry: runs its server and returns qdctl's exit
// status, having reported any failure itself.
using ServerEntry = int (*)(const ServerOptions& options);
inline constexpr const char* kServeEntrySymbol = "qdctlServe";
inline constexpr const char* kServeModule = "qdctl-serve";
inline constexpr const char* kSimMeterEntrySymbol = "qdctlSimMeter";
inline constexpr const char* kSimMeterModule = "qdctl-simmeter";
inline constexpr const char* kSimScopeEntrySymbol = "qdctlSimScope";
inline constexpr const char* kSimScopeModule = "qdctl-simscope";

} // namespace qd::session

#pragma once

#include "board/BoardFacts.h"
#include "qdctl/CommandTable.h"
#include "session/CommonOptions.h"

#include <memory>
#include <optional>
#include <string>

namespace CLI {
class App;
class Validator;
} // namespace CLI

namespace qd::qdctl {

// The options a code is given by, for program and verify.
struct CodeOptions {
    session::DeviceChoice device;
    std::string code;
    std::optional<double> volts;
    bool clamp = false; // a code or voltage beyond the range is clamped, not refused
    double vref = board::kDefaultReferenceVolts;
};

// What parsing the command line came to.
struct Parsed {
    std::unique_ptr<Subcommand> command; // none: help or version was printed
    int status = 0;                      // the exit status when there is none
    std::string name;                    // the subcommand's, as typed in full
};

// Parses argv into the shared options and the subcommand it names, its own
// options set and checked: names are those of the tables, numbers are
// finite and in range, output paths are refused before any board is
// touched when they cannot be written as asked. Help and version go to
// standard output; a bad argument raises Failure(BadArguments), an unknown
// subcommand or option with the nearest valid name. The whole text of
// --help is built from the command table and the device and power-mode
// tables.
Parsed parseCommandLine(int argc, char** argv, session::CommonOptions& common);

// Whether the command line asks for JSON, looked for before parsing so that
// even a command line that does not parse gets its answer as JSON.
bool wantsJson(int argc, char** argv);

// What the subcommands' parser setups share.

// The help's closing sections: `examples`, the exit statuses, the
// environment.
std::string footer(const std::string& examples);
// --since's check: the time as the store keeps it (UTC), or refused naming
// the forms it takes.
CLI::Validator sinceOption();
void addDevice(CLI::App& app, session::DeviceChoice& choice, bool required);
void addMode(CLI::App& app, session::DeviceChoice& choice);
void addReference(CLI::App& app, double& vref, const char* what);
void addClamp(CLI::App& app, bool& clamp);
// CODE, --volts, --vref and --clamp.
void addCode(CLI::App& app, CodeOptions& options);
void addTolerance(CLI::App& app, std::optional<double>& tolerance, const std::string& what);
// What serve and sim-meter take alike, since one server serves both.
void addServing(CLI::App& app, session::ServingOptions& serving);

// CLI11 reads nan, inf and negative numbers as numbers: what makes sense
// for a voltage or a tolerance is checked by these, in this order.
void checkReference(double vref);
void checkTolerance(const std::optional<double>& tolerance);
void checkVolts(const std::optional<double>& volts);

} // namespace qd::qdctl

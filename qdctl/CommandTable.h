#pragma once

#include "run/Recording.h"
#include "session/CommonOptions.h"

#include <memory>
#include <span>
#include <string>

namespace CLI {
class App;
}

namespace qd::qdctl {

// One subcommand of qdctl: its own options, their parser setup and help,
// the checks the parser cannot make, and what it runs.
class Subcommand {
  public:
    virtual ~Subcommand() = default;

    // Adds its options, its description and its examples to `app`. Options
    // that say what a shared one says (--no-progress) set it in `common`.
    virtual void setUp(CLI::App& app, session::CommonOptions& common) = 0;

    // Refuses with Failure(BadArguments) what parsed but makes no sense
    // (nan, inf, a negative voltage), before any board is touched.
    virtual void check() const {}

    // Runs it, recording what it measures in `recording`; qdctl's exit
    // status. Failures raise Failure or RuntimeError.
    virtual int run(const session::CommonOptions& common, run::Recording& recording) = 0;
};

using run::Records;

struct CommandEntry {
    const char* name;
    const char* summary; // the line --help gives it
    std::unique_ptr<Subcommand> (*make)();
    Records records;
};

// Every subcommand, in the order --help lists them.
std::span<const CommandEntry> commandTable();
Records recordsOf(const std::string& name);

// Each subcommand's maker, beside its code.
std::unique_ptr<Subcommand> makeProgramCommand();
std::unique_ptr<Subcommand> makeReadCommand();
std::unique_ptr<Subcommand> makeVerifyCommand();
std::unique_ptr<Subcommand> makeSweepCommand();
std::unique_ptr<Subcommand> makeSelftestCommand();
std::unique_ptr<Subcommand> makeListCommand();
std::unique_ptr<Subcommand> makeServeCommand();
std::unique_ptr<Subcommand> makeCharacterizeCommand();
std::unique_ptr<Subcommand> makeSimMeterCommand();
std::unique_ptr<Subcommand> makeSimScopeCommand();
std::unique_ptr<Subcommand> makeRunsCommand();
std::unique_ptr<Subcommand> makeDatasheetCommand();

} // namespace qd::qdctl

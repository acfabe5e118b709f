#include "qdctl/Options.h"

#include "control/NearestName.h"
#include "qdctl/CommandOutput.h"
#include "results/Database.h"
#include "run/Times.h"
#include "scpi/PowerModes.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

namespace qd::qdctl {

using session::BadArguments;
using session::Failure;
using session::kExitStatusHelp;
using session::writeStandardOutput;

using control::nearestName;

using control::kDevices;

using session::BadArguments;
using session::Failure;
using session::kExitStatusHelp;

bool wantsJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            return true;
        }
        if (std::strcmp(argv[i], "--") == 0) {
            break;
        }
    }
    return false;
}

namespace {

std::vector<std::string> deviceNames() {
    std::vector<std::string> names;
    for (const auto& d : kDevices) {
        names.emplace_back(d.caption);
    }
    return names;
}

// "normal (NORM), 1k (PD1K), …": each mode's word and its SCPI name.
std::string modeNames() {
    std::string text;
    for (const auto& m : scpi::kPowerModeNames) {
        text += (text.empty() ? "" : ", ") + std::string(m.word) + " (" +
                std::string(scpi::powerModeAnswer(m.mode)) + ")";
    }
    return text;
}

std::string joined(const std::vector<std::string>& names, const char* separator) {
    std::string text;
    for (const auto& n : names) {
        text += (text.empty() ? "" : separator) + n;
    }
    return text;
}

} // namespace

CLI::Validator sinceOption() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            const auto since = run::utcSince(text, QDateTime::currentDateTime());
            if (!since) {
                return text + " is no time: give " + run::kSinceForms;
            }
            text = *since;
            return {};
        },
        "TIME");
}

std::string footer(const std::string& examples) {
    return "\nEXAMPLES\n" + examples + "\n" + kExitStatusHelp +
           "\n\nENVIRONMENT\n"
           "  QD_BOARD=sim selects the simulated board in our link libraries, unset or\n"
           "  empty real USB; any other value is refused. See docs/simulated-board.md\n"
           "  for the other QD_BOARD_* settings. QD_RESULTS names the results store as\n"
           "  --results does; QD_RESULTS_CONNECT_TIMEOUT and QD_RESULTS_STATEMENT_TIMEOUT\n"
           "  bound, in seconds, the waits for a PostgreSQL store (10 and 60).";
}

void addDevice(CLI::App& app, session::DeviceChoice& choice, bool required) {
    auto* device = app.add_option("--device", choice.device,
                                  "converter fitted to the board: " + joined(deviceNames(), ", ") +
                                      " (any case)")
                       ->transform(CLI::IsMember(deviceNames(), CLI::ignore_case));
    if (required) {
        device->required();
    }
}

// The instrument's names work here too: one set, whichever way the board is
// driven.
void addMode(CLI::App& app, session::DeviceChoice& choice) {
    app.add_option("--mode", choice.mode,
                   "power mode: " + modeNames() + ", any case; default normal")
        ->transform(
            [](const std::string& name) {
                const auto mode = scpi::findPowerMode(name);
                if (!mode) {
                    throw CLI::ValidationError(name + " is no power mode; take " + modeNames());
                }
                return std::string(scpi::powerModeWord(*mode));
            },
            "", "power mode");
}

void addReference(CLI::App& app, double& vref, const char* what) {
    app.add_option("--vref", vref, std::string("reference voltage for ") + what)
        ->capture_default_str();
}

void addClamp(CLI::App& app, bool& clamp) {
    app.add_flag("--clamp", clamp,
                 "clamp a code or voltage beyond the device's range to it, as the data-word box "
                 "does, instead of refusing it");
}

void addCode(CLI::App& app, CodeOptions& o) {
    auto* code = app.add_option("CODE", o.code,
                                "data code in hexadecimal digits without a prefix, as the "
                                "data-word box takes it (800, 0FFF)");
    auto* volts = app.add_option("--volts", o.volts,
                                 "program the code nearest to this output, 0 to the reference");
    code->excludes(volts);
    addReference(app, o.vref, "--volts and expectations");
    addClamp(app, o.clamp);
}

void addTolerance(CLI::App& app, std::optional<double>& tolerance, const std::string& what) {
    app.add_option("--tolerance", tolerance,
                   "allowed deviation from the ideal reading in measuring-converter counts" + what);
}

void addServing(CLI::App& app, session::ServingOptions& serving) {
    app.add_option("--listen", serving.listen, "HOST:PORT to listen on; :PORT means loopback")
        ->default_str(serving.listen);
    app.add_option("--max-clients", serving.maxClients,
                   "clients served at a time; one more reads -310 and is closed")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    app.add_option("--idle-timeout", serving.idleTimeout,
                   "seconds a message may stay unfinished, or answers unread, before the "
                   "connection is closed")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
}

void checkReference(double vref) {
    if (!std::isfinite(vref) || !(vref > 0)) {
        throw Failure(BadArguments, "--vref must be a finite voltage above 0");
    }
}

void checkTolerance(const std::optional<double>& tolerance) {
    if (tolerance && (!std::isfinite(*tolerance) || *tolerance < 0)) {
        throw Failure(BadArguments, "--tolerance must be a finite number of counts, 0 or more");
    }
}

// A finite voltage outside the range is a bad code, refused later with the
// range named.
void checkVolts(const std::optional<double>& volts) {
    if (volts && !std::isfinite(*volts)) {
        throw Failure(BadArguments, "--volts must be a finite voltage");
    }
}

namespace {

std::string suggestion(const std::string& nearest) {
    return nearest.empty() ? "." : ": did you mean " + nearest + "?";
}

std::vector<std::string> longOptionNames(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.get_options()) {
        for (const auto& name : option->get_lnames()) {
            names.push_back("--" + name);
        }
    }
    return names;
}

// CLI11 reports a mistyped subcommand as a missing one, and a mistyped
// option as a missing required one: the command line is walked first, so
// that each unknown name is refused with the nearest valid one.
void checkNames(const CLI::App& app, const std::vector<CLI::App*>& subcommands, int argc,
                char** argv) {
    const CLI::App* sub = nullptr;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg(argv[i]);
        if (arg == "--") {
            return;
        }
        if (arg.starts_with("--")) {
            const std::string name(arg.substr(0, arg.find('=')));
            const CLI::Option* option = sub ? sub->get_option_no_throw(name) : nullptr;
            option = option ? option : app.get_option_no_throw(name);
            if (option) {
                // Its value may start with a dash (--volts -1, --csv -).
                i += option->get_items_expected_min() > 0 && name.size() == arg.size() ? 1 : 0;
                continue;
            }
            for (const CLI::App* candidate : subcommands) {
                if (!sub && candidate->get_option_no_throw(name)) {
                    throw Failure(BadArguments, name + " goes after the subcommand, as in qdctl " +
                                                    candidate->get_name() + " " + name);
                }
            }
            std::vector<std::string> names = longOptionNames(app);
            if (sub) {
                const auto own = longOptionNames(*sub);
                names.insert(names.end(), own.begin(), own.end());
            }
            const std::string nearest = nearestName(name, names);
            const std::string help = sub ? sub->get_name() + " --help" : "--help";
            throw Failure(BadArguments,
                          "unknown option " + name + suggestion(nearest) + " See qdctl " + help);
        }
        if (sub && !arg.starts_with("-")) {
            // A subcommand's own subcommand (runs list): its options count.
            for (const CLI::App* nested : sub->get_subcommands({})) {
                if (nested->get_name() == arg) {
                    sub = nested;
                    break;
                }
            }
            continue;
        }
        if (arg.starts_with("-")) {
            continue;
        }
        std::vector<std::string> names;
        for (const CLI::App* candidate : subcommands) {
            if (candidate->get_name() == arg) {
                sub = candidate;
            }
            names.push_back(candidate->get_name());
        }
        if (!sub) {
            names.push_back("--help");
            const std::string nearest = nearestName(arg, names);
            throw Failure(BadArguments, "unknown subcommand \"" + std::string(arg) + "\"" +
                                            suggestion(nearest) + " The subcommands are " +
                                            joined({names.begin(), names.end() - 1}, ", ") + ".");
        }
    }
}

// The command line as typed, for the records that name what made them
// (the store, the CSV, the report), which many may read; control characters
// would break the one-line records it goes into.
void keepCommandLine(int argc, char** argv, session::CommonOptions& o) {
    o.commandLine = "qdctl";
    for (int i = 1; i < argc; ++i) {
        o.arguments.push_back(argv[i]);
        // A store's password is kept out of every record of the command.
        std::string arg = results::withoutPassword(argv[i]);
        std::replace_if(
            arg.begin(), arg.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; }, '?');
        const bool quote = arg.empty() || arg.find_first_of(" \t\"'") != std::string::npos;
        o.commandLine += " " + (quote ? "\"" + arg + "\"" : arg);
    }
}

// --board: an index of 1 to 255, or a USB serial of printable characters.
void takeBoard(const std::string& board, session::CommonOptions& o) {
    if (!board.empty() &&
        std::all_of(board.begin(), board.end(), [](unsigned char c) { return std::isdigit(c); })) {
        if (board.size() > 3 || std::stoi(board) < 1 || std::stoi(board) > 255) {
            throw CLI::ValidationError("--board", "an index is 1 to 255");
        }
        o.board = std::stoi(board);
    } else if (!board.empty() && std::all_of(board.begin(), board.end(), [](unsigned char c) {
                   return c > ' ' && c <= '~' && c != '=';
               })) {
        o.boardSerial = board;
    } else {
        throw CLI::ValidationError("--board", "a board's index or its USB serial");
    }
}

// The options every subcommand shares, before its name.
void addCommonOptions(CLI::App& app, session::CommonOptions& o) {
    app.footer(footer("  qdctl program --device QD1200 800\n  qdctl read\n"
                      "  qdctl serve --device QD1600"));
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("-V,--version", std::string("qdctl ") + QDCTL_VERSION);
    app.add_option("--link", o.link, "link library: 1 USBFunctions (default), 2 QNS_CYUSB_USB4")
        ->check(CLI::IsMember({1, 2}));
    app.add_flag("--json", o.json, "print every outcome as one JSON object on standard output");
    app.add_option("--firmware", o.firmware, "firmware image (default QD1600.hex beside qdctl)");
    app.add_option_function<std::string>(
           "--board", [&o](const std::string& board) { takeBoard(board, o); },
           "the board to use: its index or its USB serial, as qdctl list shows them")
        ->type_name("BOARD");
    app.add_flag("--download", o.download, "load the firmware even when the board already runs it");
    app.add_flag("-q,--quiet", o.quiet, "no progress on standard error");
    app.add_option("--results", o.results,
                   "where runs are recorded: a path or sqlite:PATH, postgresql://… or none "
                   "(default: $QD_RESULTS, else results.sqlite in the user's data folder)");
}

} // namespace

Parsed parseCommandLine(int argc, char** argv, session::CommonOptions& o) {
    keepCommandLine(argc, argv, o);
    CLI::App app{"qdctl - program and measure the QD1200/1400/1600/1610 DAC evaluation board"};
    addCommonOptions(app, o);

    std::vector<std::unique_ptr<Subcommand>> commands;
    std::vector<CLI::App*> subcommands;
    for (const CommandEntry& entry : commandTable()) {
        CLI::App* sub = app.add_subcommand(entry.name, entry.summary);
        commands.push_back(entry.make());
        commands.back()->setUp(*sub, o);
        subcommands.push_back(sub);
    }

    std::ostringstream out;
    std::ostringstream err;
    try {
        checkNames(app, subcommands, argc, argv);
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        // --help, --help-all, --version: what they ask for, and no command.
        app.exit(e, out, err);
        writeStandardOutput(out.str());
        return {nullptr, session::Ok, {}};
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        if (e.get_name() == "RequiredError" || e.get_name() == "ExtrasError" ||
            e.get_name() == "ValidationError" || e.get_name() == "ConversionError") {
            message += "; see qdctl --help";
        }
        throw Failure(BadArguments, message);
    }
    for (std::size_t i = 0; i < subcommands.size(); ++i) {
        if (subcommands[i]->parsed()) {
            commands[i]->check();
            return {std::move(commands[i]), session::Ok, subcommands[i]->get_name()};
        }
    }
    throw Failure(BadArguments, "no subcommand given; see qdctl --help");
}

} // namespace qd::qdctl

#include "qdctl/Options.h"

#include "board/BoardFacts.h"
#include "measure/Limits.h"
#include "measure/Plan.h"
#include "qdctl/ExitStatus.h"
#include "qdctl/Output.h"
#include "scpi/PowerModes.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <vector>

namespace qd::cli {

const DeviceProfile& Options::deviceProfile() const {
    if (const DeviceProfile* profile = findDevice(device)) {
        return *profile;
    }
    throw Failure(BadArguments, "no device chosen: give --device");
}

std::int16_t Options::powerMode() const {
    if (const auto found = scpi::findPowerMode(mode)) {
        return *found;
    }
    throw Failure(BadArguments, "unknown power mode " + mode);
}

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

std::string footer(const std::string& examples) {
    return "\nEXAMPLES\n" + examples + "\n" + kExitStatusHelp +
           "\n\nENVIRONMENT\n"
           "  QD_BOARD=sim selects the simulated board in our link libraries, unset or\n"
           "  empty real USB; any other value is refused. See the README for the other\n"
           "  QD_BOARD_* settings.";
}

void addDevice(CLI::App* sub, Options& o, bool required) {
    auto* device = sub->add_option("--device", o.device,
                                   "converter fitted to the board: " + joined(deviceNames(), ", ") +
                                       " (any case)")
                       ->transform(CLI::IsMember(deviceNames(), CLI::ignore_case));
    if (required) {
        device->required();
    }
}

// The instrument's names work here too: one set, whichever way the board is
// driven.
void addMode(CLI::App* sub, Options& o) {
    sub->add_option("--mode", o.mode, "power mode: " + modeNames() + ", any case; default normal")
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

void addReference(CLI::App* sub, Options& o, const char* what) {
    sub->add_option("--vref", o.vref, std::string("reference voltage for ") + what)
        ->capture_default_str();
}

void addClamp(CLI::App* sub, Options& o) {
    sub->add_flag("--clamp", o.clamp,
                  "clamp a code or voltage beyond the device's range to it, as the data-word box "
                  "does, instead of refusing it");
}

void addCode(CLI::App* sub, Options& o) {
    auto* code = sub->add_option("CODE", o.code,
                                 "data code in hexadecimal digits without a prefix, as the "
                                 "data-word box takes it (800, 0FFF)");
    auto* volts = sub->add_option("--volts", o.volts,
                                  "program the code nearest to this output, 0 to the reference");
    code->excludes(volts);
    addReference(sub, o, "--volts and expectations");
    addClamp(sub, o);
}

void addTolerance(CLI::App* sub, Options& o, const std::string& what) {
    sub->add_option("--tolerance", o.tolerance,
                    "allowed deviation from the ideal reading in measuring-converter counts" +
                        what);
}

// What serve and sim-meter take alike, since one server serves both.
void addServing(CLI::App* sub, Options& o, const char* defaultListen) {
    sub->add_option("--listen", o.listen, "HOST:PORT to listen on; :PORT means loopback")
        ->default_str(defaultListen);
    sub->add_option("--max-clients", o.maxClients,
                    "clients served at a time; one more reads -310 and is closed")
        ->check(CLI::Range(1, 64))
        ->capture_default_str();
    sub->add_option("--idle-timeout", o.idleTimeout,
                    "seconds a message may stay unfinished, or answers unread, before the "
                    "connection is closed")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
}

// CLI11 reads nan, inf and negative numbers as numbers: what makes sense
// for a voltage or a tolerance is checked here, before any board is
// touched.
void checkNumbers(const Options& o) {
    if (!std::isfinite(o.vref) || !(o.vref > 0)) {
        throw Failure(BadArguments, "--vref must be a finite voltage above 0");
    }
    if (o.tolerance && (!std::isfinite(*o.tolerance) || *o.tolerance < 0)) {
        throw Failure(BadArguments, "--tolerance must be a finite number of counts, 0 or more");
    }
    // A finite voltage outside the range is a bad code, refused later with
    // the range named.
    if (o.volts && !std::isfinite(*o.volts)) {
        throw Failure(BadArguments, "--volts must be a finite voltage");
    }
    if (o.command != Command::Characterize) {
        return;
    }
    if (!measure::Plan::parse(o.codes)) {
        throw Failure(BadArguments, "--codes takes all, fast, or a whole number EVERY of 1 or "
                                    "more (every EVERY-th code)");
    }
    if (!std::isfinite(o.nplc) || !(o.nplc > 0) || o.nplc > 1000) {
        throw Failure(BadArguments, "--nplc must be a number of power-line cycles above 0");
    }
    if (!std::isfinite(o.settleMs) || o.settleMs < 0 || o.settleMs > 60000) {
        throw Failure(BadArguments, "--settle must be 0 to 60000 ms");
    }
    std::string why;
    if (!o.limits.empty() && !measure::Limits::parse(o.limits, why)) {
        throw Failure(BadArguments, "--limits " + why);
    }
}

// Edits from a to b, a swap of two neighbours counting as one: the
// slips of typing (hlep, --devcie).
std::size_t editDistance(std::string_view a, std::string_view b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) {
        for (std::size_t j = 0; j <= b.size(); ++j) {
            if (i == 0 || j == 0) {
                d[i][j] = i + j;
                continue;
            }
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) {
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        }
    }
    return d[a.size()][b.size()];
}

// The name nearest to what was typed: one it begins (prog, --dev), else
// one within two edits; empty when none is that near.
std::string nearestName(std::string_view typed, const std::vector<std::string>& names) {
    const auto bare = [](std::string_view name) {
        return name.substr(std::min(name.find_first_not_of('-'), name.size()));
    };
    typed = bare(typed);
    std::string best;
    std::size_t bestDistance = 3;
    for (const auto& name : names) {
        const bool begins = typed.size() >= 3 && bare(name).starts_with(typed);
        const std::size_t distance = begins ? 0 : editDistance(typed, bare(name));
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

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
        if (sub || arg.starts_with("-")) {
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

} // namespace

Parsed parseCommandLine(int argc, char** argv, Options& o) {
    o.vref = board::kDefaultReferenceVolts;
    CLI::App app{"qdctl - program and measure the QD1200/1400/1600/1610 DAC evaluation board"};
    app.footer(footer("  qdctl program --device QD1200 800\n  qdctl read\n"
                      "  qdctl serve --device QD1600"));
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("-V,--version", std::string("qdctl ") + QDCTL_VERSION);
    app.add_option("--link", o.link, "link library: 1 USBFunctions (default), 2 QNS_CYUSB_USB4")
        ->check(CLI::IsMember({1, 2}));
    app.add_flag("--json", o.json, "print every outcome as one JSON object on standard output");
    app.add_option("--firmware", o.firmware, "firmware image (default QD1600.hex beside qdctl)");
    app.add_option("--board", o.board, "the board to use, by the identifier qdctl list shows")
        ->check(CLI::Range(1, 255));
    app.add_flag("--download", o.download, "load the firmware even when the board already runs it");
    app.add_flag("-q,--quiet", o.quiet, "no progress on standard error");

    auto* program = app.add_subcommand("program", "program one code");
    program->description(
        "Loads the firmware unless the board runs it already, validates CODE as the data-word "
        "box does, composes the device's frame and writes it. Prints the code as shown and the "
        "frame. A code or voltage beyond the device's range is refused (status 3) unless "
        "--clamp asks for the box's clamping.");
    addDevice(program, o, true);
    addMode(program, o);
    addCode(program, o);
    program->footer(footer("  qdctl program --device QD1200 800\n"
                           "  qdctl program --device QD1610 --mode 1k FFFF\n"
                           "  qdctl program --device QD1600 --volts 1.25"));

    auto* read = app.add_subcommand("read", "read the output voltage");
    read->description("Reads the board's 12-bit measuring converter and prints the reading and "
                      "the voltage as the window shows it. Loads no firmware unless --download "
                      "is given, so it reads what an earlier command programmed.");
    read->footer(footer("  qdctl read\n  qdctl --json read"));

    auto* verify = app.add_subcommand("verify", "program, read back and compare");
    verify->description("Programs CODE, reads the output back and compares it with "
                        "code / 2^bits x vref within a tolerance in measuring-converter counts.");
    addDevice(verify, o, true);
    addMode(verify, o);
    addCode(verify, o);
    addTolerance(verify, o, " (default 2)");
    verify->footer(footer("  qdctl verify --device QD1400 2000"));

    auto* sweep = app.add_subcommand("sweep", "program a range of codes and measure each");
    sweep->description(
        "Programs every STEP-th code from FROM to TO (all hexadecimal), reads each back and "
        "writes one CSV row per code as it is measured: code, frame, expected V, measured V, "
        "error in mV and in counts against the ideal reading, measured counts. The rows go to "
        "a file beside the CSV that takes its name when the sweep ends, also when it ends "
        "early. Prints offset and gain error, the largest deviation and whether the output is "
        "monotonic; a reading that does not follow the codes (flat or falling) makes the exit "
        "status 1, as does a point beyond --tolerance.");
    addDevice(sweep, o, true);
    addMode(sweep, o);
    sweep->add_option("--from", o.from, "first code (hexadecimal)")->required();
    sweep->add_option("--to", o.to, "last code (hexadecimal)")->required();
    sweep->add_option("--step", o.step, "step between codes (hexadecimal)")->capture_default_str();
    sweep
        ->add_option("--csv", o.csv,
                     "CSV file to write, - for the rows alone on standard output (the summary "
                     "then goes to standard error)")
        ->required();
    sweep->add_option("--plot", o.plot,
                      "draw measured, expected and error into this file: .png, .svg or .pdf");
    addReference(sweep, o, "the expectations");
    addTolerance(sweep, o, "; with it, a point beyond it makes the exit status 1");
    addClamp(sweep, o);
    sweep->add_flag("--no-progress", o.quiet, "the same as --quiet");
    sweep->add_flag("--timing", o.timing, "report the time spent outside the link library");
    sweep->footer(footer("  qdctl sweep --device QD1200 --from 0 --to FFF --csv qd1200.csv "
                         "--plot qd1200.png\n"
                         "  qdctl sweep --device QD1600 --from 0 --to FFFF --step 100 "
                         "--csv coarse.csv"));

    auto* selftest = app.add_subcommand("selftest", "check each power mode");
    selftest->description("Programs mid-scale in each power mode and checks the reading: the "
                          "full mid-scale voltage in normal operation, 0 V in the three "
                          "power-down modes. Catches wrong power-down bits.");
    addDevice(selftest, o, true);
    addTolerance(selftest, o, " (default 2)");
    addReference(selftest, o, "the expectations");
    selftest->footer(footer("  qdctl selftest --device QD1610"));

    auto* list = app.add_subcommand("list", "list the boards found");
    list->description("Shows each board the link library finds: its identifier (for --board), "
                      "bus and port, USB ids, whether its firmware runs and whether this user "
                      "may open it.");
    list->footer(footer("  qdctl list\n  QD_BOARD=sim qdctl --json list"));

    auto* serve = app.add_subcommand("serve", "serve the board as an SCPI instrument");
    serve->description(
        "Holds the board, loads its firmware unless it runs it already, and serves SCPI on a "
        "raw TCP socket (the LXI convention) until ended: *IDN?, *RST, *TST?, SYSTem:DEVice, "
        "SOURce:DAC:CODE, SOURce:DAC:PMODe, SOURce:VOLTage, MEASure:VOLTage? and more; see the "
        "README. SCPI has no authentication: listen on another address than loopback only on "
        "a network you trust.");
    addDevice(serve, o, false);
    addServing(serve, o, "127.0.0.1:5025");
    serve->footer(footer("  qdctl serve --device QD1600\n"
                         "  qdctl serve --listen :5555\n"
                         "  qdctl --link 2 serve --listen 0.0.0.0:5025"));

    auto* characterize =
        app.add_subcommand("characterize", "measure the converter's static figures with a meter");
    characterize->description(
        "Programs each code of a plan, measures the output with a bench DMM (--meter) or the "
        "on-board converter, and computes the datasheet's static figures: zero-code and "
        "full-scale error, offset and gain error from the endpoint line through the fit range "
        "(2^N/128 to 127*2^N/128), INL per code against the endpoint and the best-fit line, "
        "DNL per step and monotonicity, each with its uncertainty from the samples' spread. "
        "Rows go to --csv as they are measured, as a sweep's do. A converter that is not shown "
        "monotonic, or a figure beyond --limits, makes the exit status 1.");
    addDevice(characterize, o, true);
    characterize->add_option("--meter", o.meter,
                             "the bench DMM: TCPIP::HOST[::PORT]::SOCKET (raw socket, port 5025 "
                             "unless given), TCPIP::HOST::INSTR (VXI-11) or a USBTMC device file "
                             "(/dev/usbtmc0); without it the on-board converter measures");
    characterize
        ->add_option("--codes", o.codes,
                     "all, fast (the carries and a grid: under 1% of a 16-bit converter's "
                     "codes), or EVERY: every EVERY-th code")
        ->capture_default_str();
    characterize->add_option("--nplc", o.nplc, "the meter's integration time in power-line cycles")
        ->capture_default_str();
    characterize->add_option("--samples", o.samples, "readings per code")
        ->check(CLI::Range(1, 100))
        ->capture_default_str();
    characterize->add_option("--settle", o.settleMs, "wait after each code, in ms, before reading")
        ->capture_default_str();
    characterize->add_option("--limits", o.limits,
                             "pass/fail limits, e.g. inl=2,dnl=1,offset=5,gain=0.1 (LSB, LSB, mV, "
                             "% of full scale; also zero in mV and fullscale in %)");
    characterize->add_option("--csv", o.csv,
                             "CSV file of each code's readings as measured, - for standard output");
    characterize->add_option("--plot", o.plot,
                             "draw INL and DNL into this file: .png, .svg or .pdf");
    characterize->add_option("--report", o.report,
                             "the one-page report: NAME.html (self-contained) or NAME.pdf");
    addReference(characterize, o, "the ideal figures");
    characterize->add_flag("--no-progress", o.quiet, "the same as --quiet");
    characterize->footer(
        footer("  qdctl characterize --device QD1600 --meter TCPIP::192.168.1.20::SOCKET \\\n"
               "      --report qd1600.pdf --limits inl=4,dnl=1\n"
               "  qdctl characterize --device QD1200 --codes all --csv qd1200.csv"));

    auto* simMeter =
        app.add_subcommand("sim-meter", "serve a simulated DMM on the simulated board");
    simMeter->description(
        "Serves a 6½-digit bench DMM over SCPI on a raw TCP socket whose probes sit on the "
        "simulated board's output (QD_BOARD=sim): a reading is the output plus the meter's "
        "noise, 30 uV rms at 1 NPLC, falling with the root of the NPLC, and takes NPLC/50 s "
        "times QD_METER_TIME_SCALE (default 1). It never claims the board.");
    addServing(simMeter, o, "127.0.0.1:5026");
    simMeter->footer(footer("  QD_BOARD=sim QD_BOARD_MODEL=typical qdctl sim-meter &\n"
                            "  QD_BOARD=sim qdctl characterize --device QD1600 \\\n"
                            "      --meter TCPIP::127.0.0.1::5026::SOCKET --report qd1600.html"));

    const std::pair<CLI::App*, Command> commands[] = {
        {program, Command::Program},   {read, Command::Read},
        {verify, Command::Verify},     {sweep, Command::Sweep},
        {selftest, Command::Selftest}, {list, Command::List},
        {serve, Command::Serve},       {characterize, Command::Characterize},
        {simMeter, Command::SimMeter}};
    std::vector<CLI::App*> subcommands;
    for (const auto& [sub, command] : commands) {
        subcommands.push_back(sub);
    }

    std::ostringstream out;
    std::ostringstream err;
    try {
        checkNames(app, subcommands, argc, argv);
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        app.exit(e, out, err);
        writeStandardOutput(out.str());
        return {false, Ok};
    } catch (const CLI::CallForAllHelp& e) {
        app.exit(e, out, err);
        writeStandardOutput(out.str());
        return {false, Ok};
    } catch (const CLI::CallForVersion& e) {
        app.exit(e, out, err);
        writeStandardOutput(out.str());
        return {false, Ok};
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        if (e.get_name() == "RequiredError" || e.get_name() == "ExtrasError" ||
            e.get_name() == "ValidationError" || e.get_name() == "ConversionError") {
            message += "; see qdctl --help";
        }
        throw Failure(BadArguments, message);
    }
    for (const auto& [sub, command] : commands) {
        if (sub->parsed()) {
            o.command = command;
        }
    }
    if (o.command == Command::SimMeter && simMeter->count("--listen") == 0) {
        o.listen = "127.0.0.1:5026";
    }
    checkNumbers(o);
    return {true, Ok};
}

} // namespace qd::cli

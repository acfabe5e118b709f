#include "cli/Options.h"

#include "board/BoardFacts.h"
#include "cli/ExitStatus.h"
#include "cli/Output.h"

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
    for (const auto& m : kModeNames) {
        if (m.name == mode) {
            return m.mode;
        }
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

std::vector<std::string> modeNames() {
    std::vector<std::string> names;
    for (const auto& m : kModeNames) {
        names.emplace_back(m.name);
    }
    return names;
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
           "  QD_BOARD=sim selects the simulated board in our link libraries; see the\n"
           "  README for its other QD_BOARD_* settings.";
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

void addMode(CLI::App* sub, Options& o) {
    sub->add_option("--mode", o.mode,
                    "power mode: " + joined(modeNames(), ", ") + " (any case; default normal)")
        ->transform(CLI::IsMember(modeNames(), CLI::ignore_case));
}

void addReference(CLI::App* sub, Options& o, const char* what) {
    sub->add_option("--vref", o.vref, std::string("reference voltage for ") + what)
        ->capture_default_str();
}

void addCode(CLI::App* sub, Options& o) {
    auto* code = sub->add_option("CODE", o.code,
                                 "data code in hexadecimal digits without a prefix, as the "
                                 "data-word box takes it (800, 0FFF)");
    auto* volts = sub->add_option("--volts", o.volts, "program the code nearest to this output");
    code->excludes(volts);
    addReference(sub, o, "--volts and expectations");
}

void addTolerance(CLI::App* sub, Options& o) {
    sub->add_option("--tolerance", o.tolerance, "allowed deviation in measuring-converter counts")
        ->capture_default_str();
}

// CLI11 reads nan, inf and negative numbers as numbers: what makes sense
// for a voltage or a tolerance is checked here, before any board is
// touched.
void checkNumbers(const Options& o) {
    if (!std::isfinite(o.vref) || !(o.vref > 0)) {
        throw Failure(BadArguments, "--vref must be a finite voltage above 0");
    }
    if (!std::isfinite(o.tolerance) || o.tolerance < 0) {
        throw Failure(BadArguments, "--tolerance must be a finite number of counts, 0 or more");
    }
    if (o.volts && (!std::isfinite(*o.volts) || *o.volts < 0)) {
        throw Failure(BadArguments, "--volts must be a finite voltage, 0 or more");
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
        "Loads the firmware unless the board runs it already, validates and clamps CODE exactly "
        "as the data-word box does, composes the device's frame and writes it. Prints the code "
        "as shown and the frame.");
    addDevice(program, o, true);
    addMode(program, o);
    addCode(program, o);
    program->footer(footer("  qdctl program --device QD1200 800\n"
                           "  qdctl program --device QD1610 --mode 1k FFFF\n"
                           "  qdctl program --device QD1600 --volts 1.25"));

    auto* read = app.add_subcommand("read", "read the output voltage");
    read->description("Reads the board's 12-bit measuring converter and prints the reading and "
                      "the voltage as the window shows it. Loads no firmware.");
    read->footer(footer("  qdctl read\n  qdctl --json read"));

    auto* verify = app.add_subcommand("verify", "program, read back and compare");
    verify->description("Programs CODE, reads the output back and compares it with "
                        "code / 2^bits x vref within a tolerance in measuring-converter counts.");
    addDevice(verify, o, true);
    addMode(verify, o);
    addCode(verify, o);
    addTolerance(verify, o);
    verify->footer(footer("  qdctl verify --device QD1400 2000"));

    auto* sweep = app.add_subcommand("sweep", "program a range of codes and measure each");
    sweep->description(
        "Programs every STEP-th code from FROM to TO (all hexadecimal), reads each back and "
        "writes one CSV row per code as it is measured: code, frame, expected V, measured V, "
        "error in mV and in counts. The rows go to a file beside the CSV that takes its name "
        "when the sweep ends, also when it ends early. Prints offset and gain error, the "
        "largest deviation and whether the output is monotonic.");
    addDevice(sweep, o, true);
    addMode(sweep, o);
    sweep->add_option("--from", o.from, "first code (hexadecimal)")->required();
    sweep->add_option("--to", o.to, "last code (hexadecimal)")->required();
    sweep->add_option("--step", o.step, "step between codes (hexadecimal)")->capture_default_str();
    sweep->add_option("--csv", o.csv, "CSV file to write, - for standard output")->required();
    sweep->add_option("--plot", o.plot,
                      "draw measured, expected and error into this file: .png, .svg or .pdf");
    addReference(sweep, o, "the expectations");
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
    addTolerance(selftest, o);
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
    serve->add_option("--listen", o.listen, "HOST:PORT to listen on; :PORT means loopback")
        ->capture_default_str();
    serve->footer(footer("  qdctl serve --device QD1600\n"
                         "  qdctl serve --listen :5555\n"
                         "  qdctl --link 2 serve --listen 0.0.0.0:5025"));

    std::ostringstream out;
    std::ostringstream err;
    try {
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
    const std::pair<CLI::App*, Command> commands[] = {
        {program, Command::Program}, {read, Command::Read},         {verify, Command::Verify},
        {sweep, Command::Sweep},     {selftest, Command::Selftest}, {list, Command::List},
        {serve, Command::Serve}};
    for (const auto& [sub, command] : commands) {
        if (sub->parsed()) {
            o.command = command;
        }
    }
    checkNumbers(o);
    return {true, Ok};
}

} // namespace qd::cli

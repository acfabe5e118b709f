// qdctl: the evaluation board from the command line. Same validation, frames,
// requests and link libraries as the windowed programs, but every result is
// looked at and every failure ends with a message and its own exit status.

#include "cli/Analysis.h"
#include "cli/Plot.h"
#include "cli/Session.h"
#include "control/Commands.h"

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <unistd.h>

using namespace qd;
using namespace qd::cli;

namespace {

const std::map<std::string, int> kModes = {
    {"normal", 0}, {"1k", 1}, {"100k", 2}, {"three-state", 3}};

struct Options {
    int link = 1;
    bool json = false;
    std::string firmware;
    bool timing = false;

    std::string device;
    std::string mode = "normal";
    std::string code;
    std::optional<double> volts;
    double vref = board::kDefaultReferenceVolts;
    int tolerance = 2;

    std::string from, to, step = "1";
    std::string csv, plot;
    bool noProgress = false;
};

const DeviceProfile& device(const Options& o) {
    return *findDevice(o.device);
}
int mode(const Options& o) {
    return kModes.at(o.mode);
}

// Prints a result as text or as one JSON object.
void printResult(const Options& o, const QJsonObject& json, const std::string& text) {
    if (o.json) {
        std::cout << QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString() << "\n";
    } else {
        std::cout << text << "\n";
    }
}

// A typed code, or the code nearest to --volts, as the data-word box takes
// it; validated before anything reaches the board.
std::string typedCode(const Options& o) {
    if (!o.volts) {
        if (o.code.empty()) {
            throw Failure(BadArguments, "give a CODE or --volts");
        }
        return o.code;
    }
    if (!(o.vref > 0) || !std::isfinite(*o.volts)) {
        throw Failure(BadArguments, "--volts and --vref must be finite, --vref above 0");
    }
    const double largest = std::ldexp(1.0, device(o).resolution) - 1;
    const double code = std::clamp(
        std::round(*o.volts / o.vref * std::ldexp(1.0, device(o).resolution)), 0.0, largest);
    return formatCode(static_cast<std::int32_t>(code));
}

// The code a typed text stands for on this device, or BadCode.
std::int32_t codeFor(const Options& o, const std::string& text) {
    return parseHexCode(validatedCode(device(o), text));
}

std::unique_ptr<Session> startSession(const Options& o) {
    auto session = std::make_unique<Session>(o.link, QD_LINK2_PATH);
    session->start(o.firmware);
    session->selectDevice(device(o));
    session->state.selectPowerMode(static_cast<std::int16_t>(mode(o)));
    return session;
}

QJsonObject programmedJson(const Options& o, const Session& s, const std::string& shown) {
    return {{"device", QString::fromStdString(o.device)},
            {"mode", QString::fromStdString(o.mode)},
            {"code", QString::fromStdString(shown)},
            {"frame", QString::fromStdString(formatCode(s.state.DacWord))},
            {"frame_bits", s.state.FrameLength},
            {"index",
             QString::fromStdString(formatCode(s.state.FrameLength * 256 + s.state.PowerMode))}};
}

int cmdProgram(const Options& o) {
    const std::string text = typedCode(o);
    codeFor(o, text);
    auto session = startSession(o);
    const std::string shown = session->program(text);
    printResult(o, programmedJson(o, *session, shown),
                o.device + " " + o.mode + ": code " + shown + " -> frame " +
                    formatCode(session->state.DacWord) + " (" +
                    std::to_string(session->state.FrameLength) + " bits, index " +
                    formatCode(session->state.FrameLength * 256 + session->state.PowerMode) + ")");
    return Ok;
}

int cmdRead(const Options& o) {
    // No download: the board keeps running what it was last given, so a
    // read shows what an earlier command programmed.
    Session session(o.link, QD_LINK2_PATH);
    session.connect();
    const auto reading = session.read();
    char volts[32];
    std::snprintf(volts, sizeof volts, "%.3f", reading.volts);
    printResult(o, {{"counts", reading.counts}, {"volts", std::round(reading.volts * 1000) / 1000}},
                std::to_string(reading.counts) + " counts = " + volts + " V");
    return Ok;
}

int cmdVerify(const Options& o) {
    const std::string text = typedCode(o);
    const std::int32_t code = codeFor(o, text);
    auto session = startSession(o);
    const std::string shown = session->program(text);
    const auto reading = session->read();
    const double want = expectedVolts(code, device(o).resolution, o.vref, mode(o));
    const std::int32_t wantCounts = expectedCounts(code, device(o).resolution, o.vref, mode(o));
    const bool pass = std::abs(reading.counts - wantCounts) <= o.tolerance;
    QJsonObject json = programmedJson(o, *session, shown);
    json.insert("expected_volts", want);
    json.insert("expected_counts", wantCounts);
    json.insert("measured_volts", reading.volts);
    json.insert("measured_counts", reading.counts);
    json.insert("tolerance_counts", o.tolerance);
    json.insert("pass", pass);
    char line[256];
    std::snprintf(line, sizeof line,
                  "%s %s: code %s expected %.3f V (%d counts), measured %.3f V (%d counts): %s",
                  o.device.c_str(), o.mode.c_str(), shown.c_str(), want, wantCounts, reading.volts,
                  reading.counts, pass ? "PASS" : "FAIL");
    printResult(o, json, line);
    return pass ? Ok : CheckFailed;
}

class Progress {
  public:
    Progress(std::size_t total, bool enabled) : total_(total), enabled_(enabled) {}
    void update(std::size_t done) {
        if (!enabled_ || (done != total_ && done % 64 != 0)) {
            return;
        }
        const int width = 40;
        const auto filled = static_cast<int>(width * done / total_);
        std::fprintf(stderr, "\r[%s%s] %3zu%% %zu/%zu", std::string(filled, '#').c_str(),
                     std::string(width - filled, ' ').c_str(), 100 * done / total_, done, total_);
        if (done == total_) {
            std::fputc('\n', stderr);
        }
    }

  private:
    std::size_t total_;
    bool enabled_;
};

int cmdSweep(const Options& o) {
    const std::int32_t from = codeFor(o, o.from);
    const std::int32_t to = codeFor(o, o.to);
    std::int32_t step = 0;
    try {
        step = parseHexCode(o.step);
    } catch (const RuntimeError&) {
    }
    if (step < 1) {
        throw Failure(BadArguments, "--step must be a hexadecimal number of 1 or more");
    }
    if (from > to) {
        throw Failure(BadArguments, "--from " + o.from + " lies above --to " + o.to);
    }
    std::ofstream csv(o.csv, std::ios::trunc);
    if (!csv) {
        throw Failure(BadArguments, "cannot write " + o.csv);
    }
    csv << "code,frame,expected_v,measured_v,error_mv,error_counts\n";

    auto session = startSession(o);
    std::vector<SweepRow> rows;
    const std::size_t total = static_cast<std::size_t>((to - from) / step) + 1;
    rows.reserve(total);
    Progress progress(total, !o.noProgress && total > 256 && ::isatty(STDERR_FILENO));
    const auto begin = std::chrono::steady_clock::now();
    const int bits = device(o).resolution;
    try {
        for (std::int64_t code = from; code <= to; code += step) {
            SweepRow row;
            row.code = static_cast<std::int32_t>(code);
            session->program(formatCode(static_cast<std::int32_t>(code)));
            row.frame = session->state.DacWord;
            const auto reading = session->read();
            row.measuredVolts = reading.volts;
            row.measuredCounts = reading.counts;
            row.expectedVolts = expectedVolts(row.code, bits, o.vref, mode(o));
            row.expectedCounts = expectedCounts(row.code, bits, o.vref, mode(o));
            char line[160];
            std::snprintf(line, sizeof line, "%s,%s,%.6f,%.3f,%.3f,%d\n",
                          formatCode(row.code).c_str(), formatCode(row.frame).c_str(),
                          row.expectedVolts, row.measuredVolts, row.errorMillivolts(),
                          row.errorCounts());
            // Each row reaches the file at once: a sweep that stops halfway
            // keeps what it measured.
            csv << line << std::flush;
            rows.push_back(row);
            progress.update(rows.size());
        }
    } catch (const Failure& f) {
        throw Failure(f.status(), std::string(f.what()) + " after " + std::to_string(rows.size()) +
                                      " of " + std::to_string(total) + " codes; rows so far in " +
                                      o.csv);
    }
    const auto elapsed = std::chrono::steady_clock::now() - begin;

    const SweepSummary s = summarize(rows);
    if (!o.plot.empty() &&
        !writeSweepPlot(rows, QString::fromStdString(o.device + " " + o.mode + " sweep"),
                        QString::fromStdString(o.plot))) {
        throw Failure(BadArguments, "cannot write " + o.plot);
    }
    QJsonObject json{
        {"device", QString::fromStdString(o.device)},
        {"mode", QString::fromStdString(o.mode)},
        {"points", static_cast<qint64>(s.points)},
        {"offset_error_counts", s.offsetCounts},
        {"offset_error_mv", s.offsetMillivolts()},
        {"gain_error_percent", s.gainErrorPercent},
        {"largest_deviation_mv", s.largestDeviationMillivolts},
        {"largest_deviation_counts", s.largestDeviationCounts},
        {"largest_deviation_code", QString::fromStdString(formatCode(s.largestDeviationCode))},
        {"monotonic", s.monotonic},
        {"csv", QString::fromStdString(o.csv)}};
    char text[512];
    std::snprintf(text, sizeof text,
                  "points             %zu\n"
                  "offset error       %.3f counts (%.3f mV)\n"
                  "gain error         %.3f %%\n"
                  "largest deviation  %.3f mV (%d counts) at code %s\n"
                  "monotonic          %s",
                  s.points, s.offsetCounts + 0.0, s.offsetMillivolts() + 0.0,
                  s.gainErrorPercent + 0.0, s.largestDeviationMillivolts + 0.0,
                  s.largestDeviationCounts, formatCode(s.largestDeviationCode).c_str(),
                  s.monotonic ? "yes" : "no");
    printResult(o, json, text);
    if (o.timing) {
        const auto total_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed);
        const double inLibrary = static_cast<double>(session->binding().timeInLibrary.count());
        std::fprintf(stderr,
                     "%zu codes in %.3f s: %.0f codes/s, %.1f %% of it outside the link library\n",
                     s.points, static_cast<double>(total_ns.count()) / 1e9,
                     static_cast<double>(s.points) / (static_cast<double>(total_ns.count()) / 1e9),
                     100.0 * (1.0 - inLibrary / static_cast<double>(total_ns.count())));
    }
    return Ok;
}

int cmdSelftest(const Options& o) {
    auto session = startSession(o);
    const int bits = device(o).resolution;
    const std::int32_t mid = 1 << (bits - 1);
    QJsonArray results;
    std::string text;
    bool allPass = true;
    for (const auto& [name, m] : std::vector<std::pair<std::string, int>>{
             {"normal", 0}, {"1k", 1}, {"100k", 2}, {"three-state", 3}}) {
        session->state.selectPowerMode(static_cast<std::int16_t>(m));
        session->program(formatCode(mid));
        const auto reading = session->read();
        const std::int32_t want = expectedCounts(mid, bits, o.vref, m);
        const bool pass = std::abs(reading.counts - want) <= o.tolerance;
        allPass = allPass && pass;
        results.append(
            QJsonObject{{"mode", QString::fromStdString(name)},
                        {"frame", QString::fromStdString(formatCode(session->state.DacWord))},
                        {"expected_counts", want},
                        {"measured_counts", reading.counts},
                        {"pass", pass}});
        char line[160];
        std::snprintf(line, sizeof line, "%-12s frame %s: %4d counts, expected %4d: %s\n",
                      name.c_str(), formatCode(session->state.DacWord).c_str(), reading.counts,
                      want, pass ? "pass" : "FAIL");
        text += line;
    }
    text += allPass ? "selftest passed" : "selftest FAILED";
    printResult(
        o, {{"device", QString::fromStdString(o.device)}, {"modes", results}, {"pass", allPass}},
        text);
    return allPass ? Ok : CheckFailed;
}

const char* const kExitStatus = R"(
EXIT STATUS
  0  success
  1  verify or selftest measured something else than expected
  2  bad arguments
  3  bad code
  4  no board found
  5  firmware download failed
  6  a request to the board failed
  7  the link library cannot be loaded

ENVIRONMENT
  QD_BOARD=sim selects the simulated board in our link libraries; see the
  README for its other QD_BOARD_* settings.)";

void addDeviceAndMode(CLI::App* sub, Options& o) {
    sub->add_option("--device", o.device, "converter fitted to the board")
        ->required()
        ->check(CLI::IsMember({"QD1200", "QD1400", "QD1600", "QD1610"}));
    sub->add_option("--mode", o.mode, "power mode (default normal)")
        ->check(CLI::IsMember({"normal", "1k", "100k", "three-state"}));
}

void addCode(CLI::App* sub, Options& o) {
    auto* code = sub->add_option("CODE", o.code,
                                 "data code in hexadecimal, as the data-word box takes it "
                                 "(800, 0FFF; no 0x or &H prefix)");
    auto* volts = sub->add_option("--volts", o.volts, "program the code nearest to this output");
    code->excludes(volts);
    sub->add_option("--vref", o.vref, "reference voltage for --volts and expectations")
        ->capture_default_str();
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{"qdctl - program and measure the QD1200/1400/1600/1610 DAC evaluation board"};
    app.footer(kExitStatus);
    app.require_subcommand(1);
    app.fallthrough();
    app.set_version_flag("-V,--version", "qdctl " QD_VERSION, "Print the version and exit");
    app.add_option("--link", o.link, "link library: 1 USBFunctions (default), 2 QNS_CYUSB_USB4")
        ->check(CLI::IsMember({1, 2}));
    app.add_flag("--json", o.json, "print results as one JSON object");
    app.add_option("--firmware", o.firmware, "firmware image (default QD1600.hex beside qdctl)");

    auto* program = app.add_subcommand("program", "program one code");
    program->description(
        "Downloads the firmware, validates and clamps CODE exactly as the data-word box does, "
        "composes the device's frame and writes it. Prints the code as shown and the frame.");
    addDeviceAndMode(program, o);
    addCode(program, o);
    program->footer(std::string("\nEXAMPLES\n  qdctl program --device QD1200 800\n"
                                "  qdctl program --device QD1610 --mode 1k FFFF\n"
                                "  qdctl program --device QD1600 --volts 1.25\n") +
                    kExitStatus);

    auto* read = app.add_subcommand("read", "read the output voltage");
    read->description("Reads the board's 12-bit measuring converter and prints the reading and "
                      "the voltage as the window shows it. Downloads nothing.");
    read->footer(std::string("\nEXAMPLES\n  qdctl read\n  qdctl --json read\n") + kExitStatus);

    auto* verify = app.add_subcommand("verify", "program, read back and compare");
    verify->description("Programs CODE, reads the output back and compares it with "
                        "code / 2^bits x vref within a tolerance in measuring-converter counts.");
    addDeviceAndMode(verify, o);
    addCode(verify, o);
    verify->add_option("--tolerance", o.tolerance, "allowed deviation in counts (default 2)")
        ->check(CLI::NonNegativeNumber);
    verify->footer(std::string("\nEXAMPLES\n  qdctl verify --device QD1400 2000\n") + kExitStatus);

    auto* sweep = app.add_subcommand("sweep", "program a range of codes and measure each");
    sweep->description("Programs every STEP-th code from FROM to TO (all hexadecimal), reads "
                       "each back and writes one CSV row per code: code, frame, expected V, "
                       "measured V, error in mV and in counts. Prints offset and gain error, the "
                       "largest deviation and whether the output is monotonic.");
    addDeviceAndMode(sweep, o);
    sweep->add_option("--from", o.from, "first code (hexadecimal)")->required();
    sweep->add_option("--to", o.to, "last code (hexadecimal)")->required();
    sweep->add_option("--step", o.step, "step between codes (hexadecimal, default 1)");
    sweep->add_option("--csv", o.csv, "CSV file to write")->required();
    sweep->add_option("--plot", o.plot, "PNG file to draw measured, expected and error into");
    sweep->add_option("--vref", o.vref, "reference voltage for the expectations")
        ->capture_default_str();
    sweep->add_flag("--no-progress", o.noProgress, "no progress bar on standard error");
    sweep->add_flag("--timing", o.timing, "report the time spent outside the link library");
    sweep->footer(std::string("\nEXAMPLES\n  qdctl sweep --device QD1200 --from 0 --to FFF "
                              "--csv qd1200.csv --plot qd1200.png\n"
                              "  qdctl sweep --device QD1600 --from 0 --to FFFF --step 100 "
                              "--csv coarse.csv\n") +
                  kExitStatus);

    auto* selftest = app.add_subcommand("selftest", "check each power mode");
    selftest->description("Programs mid-scale in each power mode and checks the reading: the "
                          "full mid-scale voltage in normal operation, 0 V in the three "
                          "power-down modes. Catches wrong power-down bits.");
    addDeviceAndMode(selftest, o);
    selftest->add_option("--tolerance", o.tolerance, "allowed deviation in counts (default 2)")
        ->check(CLI::NonNegativeNumber);
    selftest->footer(std::string("\nEXAMPLES\n  qdctl selftest --device QD1610\n") + kExitStatus);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? Ok : BadArguments;
    }

    // Qt only for the program's folder and, for a plot, offscreen drawing.
    std::unique_ptr<QCoreApplication> qt;
    if (!o.plot.empty()) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qt = std::make_unique<QApplication>(argc, argv);
    } else {
        qt = std::make_unique<QCoreApplication>(argc, argv);
    }
    if (o.firmware.empty()) {
        o.firmware = (QCoreApplication::applicationDirPath() + "/QD1600.hex").toStdString();
    }

    try {
        if (program->parsed()) {
            return cmdProgram(o);
        }
        if (read->parsed()) {
            return cmdRead(o);
        }
        if (verify->parsed()) {
            return cmdVerify(o);
        }
        if (sweep->parsed()) {
            return cmdSweep(o);
        }
        return cmdSelftest(o);
    } catch (const Failure& f) {
        if (o.json) {
            printResult(o, {{"error", f.what()}, {"status", f.status()}}, "");
        }
        std::cerr << "qdctl: " << f.what() << "\n";
        return f.status();
    } catch (const RuntimeError& e) {
        if (o.json) {
            printResult(o, {{"error", e.what()}, {"status", 7}}, "");
        }
        std::cerr << "qdctl: " << e.what() << "\n";
        return 7;
    }
}

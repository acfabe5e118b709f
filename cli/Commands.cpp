#include "cli/Commands.h"

#include "cli/ExitStatus.h"
#include "cli/Output.h"
#include "cli/PlotModule.h"
#include "cli/Progress.h"
#include "cli/ResultsFile.h"
#include "cli/SelfTest.h"
#include "cli/Session.h"
#include "control/Commands.h"
#include "link/UsbStuff.h"

#include <atomic>
#include <cmath>
#include <csignal>

namespace qd::cli {

namespace {

// Takes the frame and sends nothing: a code is validated and composed
// exactly as the window does, before anything reaches the board.
struct DryRun final : Board {
    void WriteShiftRegister(std::int16_t, std::int32_t) override {}
    std::int32_t ReadConverter() override { return 0; }
};

// A code as the data-word box takes it: the value, the text it shows, and
// what was typed when the box would have clamped it.
struct Code {
    std::int32_t value = 0;
    std::string shown;
    std::string clampedFrom;
};

Code validateCode(const DeviceProfile& device, const std::string& typed) {
    const std::string_view text(typed);
    if (text.starts_with("0x") || text.starts_with("0X") || text.starts_with("&H") ||
        text.starts_with("&h")) {
        throw Failure(BadCode, "bad code \"" + typed +
                                   "\": codes are hexadecimal digits without a prefix, as the "
                                   "data-word box takes them (800, not 0x800)");
    }
    ControlState state;
    state.selectDevice(device);
    DryRun dry;
    const ProgramOutcome outcome = ProgramDac(typed, state, dry);
    if (outcome.failed) {
        throw Failure(BadCode, "bad code \"" + typed +
                                   "\": up to eight hexadecimal digits, no prefix or sign");
    }
    Code code{parseHexCode(outcome.text), outcome.text, {}};
    if (!typed.empty() && parseHexCode(typed) != code.value) {
        code.clampedFrom = typed;
        writeMessage("warning: code " + typed + " lies outside the " + std::string(device.caption) +
                     "'s range 0 to " + formatCode((1 << device.resolution) - 1) + "; clamped to " +
                     outcome.text + " as the data-word box does");
    }
    return code;
}

// The CODE argument, or the code nearest to --volts.
Code codeOf(const Options& o) {
    const DeviceProfile& device = o.deviceProfile();
    if (!o.volts) {
        if (o.code.empty()) {
            throw Failure(BadArguments, "give a CODE or --volts");
        }
        return validateCode(device, o.code);
    }
    const double steps = std::ldexp(1.0, device.resolution);
    const double nearest = std::round(*o.volts / o.vref * steps);
    const double largest = steps - 1;
    Code code;
    code.value = static_cast<std::int32_t>(std::min(nearest, largest));
    code.shown = formatCode(code.value);
    if (nearest > steps) {
        code.clampedFrom = std::to_string(*o.volts) + " V";
        writeMessage("warning: --volts " + std::to_string(*o.volts) +
                     " lies above the reference; clamped to code " + code.shown);
    }
    return code;
}

// A session on the chosen board, connected; with `load`, running its
// firmware (loaded only when it does not run it yet, or with --download).
struct Opened {
    std::unique_ptr<Session> session;
    bool downloaded = false;
};

Opened open(const Options& o, bool load) {
    Opened opened{std::make_unique<Session>(makeBinding(o.link))};
    Session& s = *opened.session;
    s.connect(o.board);
    if (load) {
        opened.downloaded = s.ensureFirmware(firmwarePathOf(o), o.download);
    }
    if (!o.device.empty()) {
        s.selectDevice(o.deviceProfile());
        s.state.selectPowerMode(o.powerMode());
    }
    return opened;
}

ProgramResult programmed(const Options& o, const Session& s, const Code& code, bool downloaded) {
    ProgramResult r;
    r.device = o.device;
    r.mode = o.mode;
    r.code = code.shown;
    r.typed = code.clampedFrom;
    r.frame = s.state.DacWord;
    r.frameBits = s.state.FrameLength;
    r.index = board::writeIndex(s.state.FrameLength, s.state.PowerMode);
    r.downloaded = downloaded;
    return r;
}

ProgramResult runProgram(const Options& o) {
    const Code code = codeOf(o);
    auto [session, downloaded] = open(o, true);
    session->program(code.value);
    return programmed(o, *session, code, downloaded);
}

ReadResult runRead(const Options& o) {
    // No download: the board keeps running what it was last given, so a
    // read shows what an earlier command programmed.
    auto [session, downloaded] = open(o, false);
    const auto reading = session->read();
    return {reading.counts, reading.volts};
}

VerifyResult runVerify(const Options& o) {
    const Code code = codeOf(o);
    auto [session, downloaded] = open(o, true);
    session->program(code.value);
    const auto reading = session->read();
    VerifyResult r;
    r.programmed = programmed(o, *session, code, downloaded);
    const int bits = o.deviceProfile().resolution;
    r.expectedVolts = expectedVolts(code.value, bits, o.vref, o.powerMode());
    r.expectedCounts = expectedCounts(code.value, bits, o.vref, o.powerMode());
    r.measuredVolts = reading.volts;
    r.measuredCounts = reading.counts;
    r.tolerance = o.tolerance;
    r.pass = std::abs(reading.counts - r.expectedCounts) <= o.tolerance;
    return r;
}

std::atomic<int> stopSignal{0};

extern "C" void onStopSignal(int signal) {
    stopSignal = signal;
}

// SIGINT and SIGTERM end a sweep after its current row, for as long as it
// runs; the rows measured are kept.
class StopOnSignals {
  public:
    StopOnSignals() {
        stopSignal = 0;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &oldInt_);
        ::sigaction(SIGTERM, &action, &oldTerm_);
    }
    ~StopOnSignals() {
        ::sigaction(SIGINT, &oldInt_, nullptr);
        ::sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

  private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

SweepResult runSweep(const Options& o) {
    const DeviceProfile& device = o.deviceProfile();
    const std::int32_t from = validateCode(device, o.from).value;
    const std::int32_t to = validateCode(device, o.to).value;
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
    const std::string firmware = firmwarePathOf(o);
    checkOutputPaths(o.csv, o.plot, firmware, o.json);
    std::optional<PlotModule> plotter;
    if (!o.plot.empty()) {
        plotter.emplace(programFolder());
    }
    ResultsFile csv(o.csv, csvHeader());

    auto [session, downloaded] = open(o, true);
    const std::size_t total = static_cast<std::size_t>((to - from) / step) + 1;
    SweepPlot plot(from, to);
    SweepStatistics statistics;
    Progress progress(total, !o.quiet);
    const StopOnSignals stopOnSignals;
    const auto begin = std::chrono::steady_clock::now();
    const std::int16_t mode = o.powerMode();
    try {
        for (std::int64_t code = from; code <= to && stopSignal == 0; code += step) {
            SweepRow row;
            row.code = static_cast<std::int32_t>(code);
            session->program(row.code);
            row.frame = session->state.DacWord;
            const auto reading = session->read();
            row.measuredVolts = reading.volts;
            row.measuredCounts = reading.counts;
            row.expectedVolts = expectedVolts(row.code, device.resolution, o.vref, mode);
            row.expectedCounts = expectedCounts(row.code, device.resolution, o.vref, mode);
            csv.write(csvRow(row));
            statistics.add(row);
            if (plotter) {
                plot.add(row);
            }
            progress.update(csv.rows());
        }
    } catch (const Failure& f) {
        progress.finish();
        if (f.status() == WriteFailed) {
            throw;
        }
        csv.commit();
        throw Failure(f.status(), std::string(f.what()) + " after " + std::to_string(csv.rows()) +
                                      " of " + std::to_string(total) + " codes; rows so far in " +
                                      o.csv);
    }
    progress.finish();
    csv.commit();
    const auto elapsed = std::chrono::steady_clock::now() - begin;

    SweepResult r;
    r.device = o.device;
    r.mode = o.mode;
    r.summary = statistics.summary();
    r.csv = o.csv;
    r.plot = o.plot;
    r.downloaded = downloaded;
    r.signal = stopSignal;
    r.seconds = std::chrono::duration<double>(elapsed).count();
    const double inLibrary =
        std::chrono::duration<double>(session->binding().timeInLibrary).count();
    r.shareOutsideLibrary = r.seconds > 0 ? 1.0 - inLibrary / r.seconds : 0;
    if (plotter) {
        r.plotSeconds = plotter->draw(plot.data(o.device + " " + o.mode + " sweep"), o.plot);
    }
    return r;
}

SelftestResult runSelftest(const Options& o) {
    auto [session, downloaded] = open(o, true);
    const SelfTestReport report =
        runSelfTest(session->state, session->comms(), o.vref, o.tolerance);
    SelftestResult r;
    r.device = o.device;
    r.downloaded = downloaded;
    r.pass = report.pass;
    for (const auto& step : report.steps) {
        r.modes.push_back({std::string(kModeNames[static_cast<std::size_t>(step.mode)].name),
                           step.frame, step.expected, step.measured, step.pass});
    }
    return r;
}

ListResult runList(const Options& o) {
    const auto binding = makeBinding(o.link);
    ListResult r;
    r.library = binding->libraryName();
    if (auto boards = binding->boards()) {
        r.boards = std::move(*boards);
        r.detailed = r.boards.empty() || boardFields(r.boards.front()).size() > 1;
    } else {
        r.canList = false;
    }
    return r;
}

} // namespace

std::string programFolder() {
    return link::programDirectory().toStdString();
}

std::string firmwarePathOf(const Options& o) {
    return o.firmware.empty() ? link::firmwarePathIn(link::programDirectory()).toStdString()
                              : o.firmware;
}

Result runCommand(const Options& o) {
    switch (o.command) {
    case Command::Program:
        return runProgram(o);
    case Command::Read:
        return runRead(o);
    case Command::Verify:
        return runVerify(o);
    case Command::Sweep:
        return runSweep(o);
    case Command::Selftest:
        return runSelftest(o);
    case Command::List:
        return runList(o);
    case Command::Serve:
        break;
    }
    throw Failure(BadArguments, "not a command that runs once");
}

int statusOf(const Result& result) {
    if (const auto* v = std::get_if<VerifyResult>(&result)) {
        return v->pass ? Ok : CheckFailed;
    }
    if (const auto* s = std::get_if<SelftestResult>(&result)) {
        return s->pass ? Ok : CheckFailed;
    }
    if (const auto* s = std::get_if<SweepResult>(&result); s && s->signal != 0) {
        return 128 + s->signal;
    }
    return Ok;
}

} // namespace qd::cli

#include "qdctl/Commands.h"

#include "control/Commands.h"
#include "link/UsbStuff.h"
#include "measure/SelfTest.h"
#include "meter/Transport.h"
#include "qdctl/ExitStatus.h"
#include "qdctl/Output.h"
#include "qdctl/Progress.h"
#include "qdctl/Renderer.h"
#include "qdctl/ResultsFile.h"
#include "qdctl/Session.h"
#include "qdctl/StopSignals.h"
#include "qdctl/SweepPlot.h"
#include "qdctl/System.h"
#include "scpi/PowerModes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qd::cli {

namespace {

// Takes the frame and sends nothing: a code is validated and composed
// exactly as the window does, before anything reaches the board.
struct DryRun final : Board {
    void WriteShiftRegister(std::int16_t, std::int32_t) override {}
    std::int32_t ReadConverter() override { return 0; }
};

// A code as the data-word box takes it: the value, the text it shows, and
// what was typed when --clamp clamped it.
struct Code {
    std::int32_t value = 0;
    std::string shown;
    std::string clampedFrom;
};

std::string rangeOf(const DeviceProfile& device) {
    return "the " + std::string(device.caption) + "'s range 0 to " +
           formatCode((1 << device.resolution) - 1);
}

// A code typed for `what` (the CODE, --from, --to): hexadecimal digits as
// the box takes them, within the device's range unless `clamp` asks for the
// box's clamping.
Code validateCode(const DeviceProfile& device, const std::string& typed, bool clamp,
                  const std::string& what) {
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
    if (typed.empty() || parseHexCode(typed) == code.value) {
        return code;
    }
    if (!clamp) {
        // Digits that only make sense as a decimal number most likely were
        // one (2048 for mid-scale of 12 bits).
        std::string hint;
        if (typed.find_first_not_of("0123456789") == std::string::npos && typed.size() <= 9 &&
            std::stol(typed) < (1L << device.resolution)) {
            hint = "; codes are hexadecimal, so decimal " + typed + " is " +
                   formatCode(static_cast<std::int32_t>(std::stol(typed)));
        }
        throw Failure(BadCode, what + " " + typed + " lies outside " + rangeOf(device) + hint +
                                   "; --clamp clamps it as the data-word box does");
    }
    code.clampedFrom = typed;
    writeMessage(what + " " + typed + " clamped to " + outcome.text + ", " + rangeOf(device));
    return code;
}

std::string voltsText(double volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%g V", volts);
    return text;
}

// The CODE argument, or the code nearest to --volts.
Code codeOf(const Options& o) {
    const DeviceProfile& device = o.deviceProfile();
    if (!o.volts) {
        if (o.code.empty()) {
            throw Failure(BadArguments, "give a CODE or --volts");
        }
        return validateCode(device, o.code, o.clamp, "code");
    }
    double volts = *o.volts;
    Code code;
    if (volts < 0 || volts > o.vref) {
        const std::string range = "the range 0 to " + voltsText(o.vref) + " (the reference)";
        if (!o.clamp) {
            throw Failure(BadCode, "--volts " + voltsText(volts) + " lies outside " + range +
                                       "; --clamp clamps it as the data-word box does");
        }
        code.clampedFrom = voltsText(volts);
        volts = std::clamp(volts, 0.0, o.vref);
    }
    code.value = measure::nearestCode(volts, device.resolution, o.vref);
    code.shown = formatCode(code.value);
    if (!code.clampedFrom.empty()) {
        writeMessage("--volts " + code.clampedFrom + " clamped to code " + code.shown);
    }
    return code;
}

ProgramResult programmed(const Options& o, const Session& s, const Code& code, bool downloaded) {
    ProgramResult r;
    r.device = o.device;
    r.mode = o.mode;
    r.code = code.shown;
    r.typed = code.clampedFrom;
    r.clamped = !code.clampedFrom.empty();
    r.frame = s.state.DacWord;
    r.frameBits = s.state.FrameLength;
    r.index = board::writeIndex(s.state.FrameLength, s.state.PowerMode);
    r.downloaded = downloaded;
    return r;
}

ProgramResult runProgram(const Options& o) {
    const Code code = codeOf(o);
    auto [session, downloaded] = openSession(o, true);
    session->program(code.value);
    return programmed(o, *session, code, downloaded);
}

ReadResult runRead(const Options& o) {
    // No download unless asked: the board keeps running what it was last
    // given, so a read shows what an earlier command programmed.
    auto [session, downloaded] = openSession(o, o.download);
    try {
        const auto reading = session->read();
        return {reading.counts, reading.volts};
    } catch (const Failure& f) {
        if (f.status() != RequestFailed) {
            throw;
        }
        const std::string next = "program a code first, or pass --download";
        if (fieldOf(listedBoard(session->binding(), o.board), "firmware") == "no") {
            throw Failure(RequestFailed, "the board runs no firmware: " + next);
        }
        throw Failure(RequestFailed,
                      std::string(f.what()) + "; if the board runs no firmware yet, " + next);
    }
}

VerifyResult runVerify(const Options& o) {
    const Code code = codeOf(o);
    auto [session, downloaded] = openSession(o, true);
    session->program(code.value);
    const auto reading = session->read();
    VerifyResult r;
    r.programmed = programmed(o, *session, code, downloaded);
    const int bits = o.deviceProfile().resolution;
    r.expectedVolts = expectedVolts(code.value, bits, o.vref, o.powerMode());
    r.expectedCounts = expectedCounts(code.value, bits, o.vref, o.powerMode());
    r.measuredVolts = reading.volts;
    r.measuredCounts = reading.counts;
    r.tolerance = o.toleranceCounts();
    r.pass = std::abs(reading.counts - r.expectedCounts) <= r.tolerance;
    return r;
}

SweepResult runSweep(const Options& o) {
    const DeviceProfile& device = o.deviceProfile();
    const Code first = validateCode(device, o.from, o.clamp, "--from");
    const Code last = validateCode(device, o.to, o.clamp, "--to");
    const std::int32_t from = first.value;
    const std::int32_t to = last.value;
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
    std::optional<Renderer> plotter;
    if (!o.plot.empty()) {
        plotter.emplace();
    }
    ResultsFile csv(o.csv, csvHeader());

    auto [session, downloaded] = openSession(o, true);
    const measure::Codes codes = measure::Codes::range(from, to, step);
    SweepPlot plot(from, to);
    SweepStatistics statistics(o.tolerance);
    Progress progress(codes.size(), !o.quiet);
    const StopOnSignals stopOnSignals;
    const std::int16_t mode = o.powerMode();
    const auto sweepRow = [&](const measure::Row& measured) {
        SweepRow row;
        row.code = measured.code;
        row.frame = measured.frame;
        row.measuredCounts = static_cast<std::int32_t>(measured.values.front());
        row.measuredVolts = board::readingVolts(row.measuredCounts);
        row.expectedVolts = expectedVolts(row.code, device.resolution, o.vref, mode);
        row.expectedCounts = expectedCounts(row.code, device.resolution, o.vref, mode);
        csv.write(csvRow(row));
        statistics.add(row);
        if (plotter) {
            plot.add(row);
        }
    };
    measure::LoopSettings settings;
    settings.progress = [&](std::size_t done) { progress.update(done); };
    settings.stop = [] { return stopSignal(); };
    const measure::LoopOutcome outcome = measure::runLoop(
        codes,
        [board = session.get()](std::int32_t code) {
            board->program(code);
            return static_cast<std::int32_t>(board->state.DacWord);
        },
        [board = session.get()](int) {
            return std::vector<double>{static_cast<double>(board->read().counts)};
        },
        {sweepRow}, settings);
    progress.finish();
    endLoop(outcome, codes.size(), &csv);
    csv.commit();

    SweepResult r;
    r.device = o.device;
    r.mode = o.mode;
    r.summary = statistics.summary();
    r.csv = o.csv;
    r.plot = o.plot;
    r.downloaded = downloaded;
    r.clamped = !first.clampedFrom.empty() || !last.clampedFrom.empty();
    r.signal = stopSignal();
    r.seconds = outcome.seconds;
    const double inLibrary =
        std::chrono::duration<double>(session->binding().timeInLibrary).count();
    r.shareOutsideLibrary = r.seconds > 0 ? 1.0 - inLibrary / r.seconds : 0;
    if (plotter) {
        r.plotSeconds =
            plotter->write(plot.data(o.device + " " + o.mode + " sweep", sweepSummaryLines(r)),
                           o.plot, plotFormat(o.plot), true);
    }
    return r;
}

SelftestResult runSelftest(const Options& o) {
    auto [session, downloaded] = openSession(o, true);
    const measure::SelfTestReport report =
        measure::runSelfTest(session->state, session->comms(), o.vref, o.toleranceCounts());
    SelftestResult r;
    r.device = o.device;
    r.downloaded = downloaded;
    r.pass = report.pass;
    for (const auto& step : report.steps) {
        r.modes.push_back({std::string(scpi::powerModeWord(step.mode)), step.frame, step.expected,
                           step.measured, step.pass});
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

void endLoop(const measure::LoopOutcome& outcome, std::size_t total, ResultsFile* csv) {
    if (!outcome.failure) {
        return;
    }
    try {
        std::rethrow_exception(outcome.failure);
    } catch (const Failure& f) {
        endEarly(f, outcome.rows, total, csv);
    } catch (const meter::MeterError& e) {
        endEarly(Failure(MeterFailed, e.what()), outcome.rows, total, csv);
    } catch (const measure::ProbeError& e) {
        endEarly(Failure(MeterFailed, e.what()), outcome.rows, total, csv);
    }
}

Opened openSession(const Options& o, bool load) {
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
    case Command::Characterize:
        return runCharacterize(o);
    case Command::Serve:
    case Command::SimMeter:
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
    if (const auto* s = std::get_if<SweepResult>(&result)) {
        if (s->signal != 0) {
            return 128 + s->signal;
        }
        return s->summary.pass() ? Ok : CheckFailed;
    }
    if (const auto* c = std::get_if<CharacterizeResult>(&result)) {
        if (c->signal != 0) {
            return 128 + c->signal;
        }
        return c->verdict.pass ? Ok : CheckFailed;
    }
    return Ok;
}

} // namespace qd::cli

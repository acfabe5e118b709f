// qdctl's one-shot commands on one code: program, read, verify, selftest
// and list, each with its options, its help and what it runs.

#include "qdctl/BoardCommands.h"

#include "board/BoardFacts.h"
#include "control/DataWord.h"
#include "measure/SelfTest.h"
#include "meter/Transport.h"
#include "platform/File.h"
#include "platform/Process.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "run/Recording.h"
#include "run/ResultsFile.h"
#include "scpi/PowerModes.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace qd::qdctl {

using run::figureOf;
using run::openRecorded;
using run::ResultsFile;

using session::BadArguments;
using session::BadCode;
using session::boardFields;
using session::CheckFailed;
using session::CommonOptions;
using session::DeviceChoice;
using session::Failure;
using session::fieldOf;
using session::listedBoard;
using session::makeBinding;
using session::MeterFailed;
using session::Ok;
using session::openSession;
using session::RequestFailed;
using session::Session;
using session::writeMessage;

using control::DeviceProfile;
using control::formatCode;
using control::formatNumber;
using control::parseHexCode;
using control::validateDataWord;

namespace {

// Each command's result as its user reads it.

QJsonObject programJson(const ProgramResult& r) {
    QJsonObject json{{"device", qstring(r.device)},
                     {"mode", qstring(r.mode)},
                     {"code", qstring(r.code)},
                     {"frame", qstring(formatCode(r.frame))},
                     {"frame_bits", r.frameBits},
                     {"index", qstring(formatCode(static_cast<std::int32_t>(r.index)))},
                     {"firmware", firmwareWord(r.downloaded)}};
    json.insert("clamped", r.clamped);
    if (!r.typed.empty()) {
        json.insert("typed", qstring(r.typed));
    }
    return json;
}

std::string programText(const ProgramResult& r) {
    return r.device + " " + r.mode + ": code " + r.code + " -> frame " + formatCode(r.frame) +
           " (" + std::to_string(r.frameBits) + " bits, index " +
           formatCode(static_cast<std::int32_t>(r.index)) + "), firmware " +
           (r.downloaded ? "loaded" : "already running");
}

std::string readText(const ReadResult& r) {
    return std::to_string(r.counts) + " counts = " + volts3(r.volts) + " V";
}

QJsonObject readJson(const ReadResult& r) {
    return {{"counts", r.counts}, {"volts", rounded3(r.volts)}};
}

std::string verifyText(const VerifyResult& r) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "%s %s: code %s expected %.3f V (%d counts), measured %.3f V (%d counts): "
                  "%s",
                  r.programmed.device.c_str(), r.programmed.mode.c_str(), r.programmed.code.c_str(),
                  r.expectedVolts + 0.0, r.expectedCounts, r.measuredVolts + 0.0, r.measuredCounts,
                  r.pass ? "PASS" : "FAIL");
    return line;
}

QJsonObject verifyJson(const VerifyResult& r) {
    QJsonObject json = programJson(r.programmed);
    json.insert("expected_volts", r.expectedVolts);
    json.insert("expected_counts", r.expectedCounts);
    json.insert("measured_volts", rounded3(r.measuredVolts));
    json.insert("measured_counts", r.measuredCounts);
    json.insert("tolerance_counts", r.tolerance);
    json.insert("pass", r.pass);
    return json;
}

std::string selftestText(const SelftestResult& r) {
    std::string text;
    for (const auto& m : r.modes) {
        char line[160];
        std::snprintf(line, sizeof line, "%-12s frame %s: %4d counts, expected %4d: %s\n",
                      m.mode.c_str(), formatCode(m.frame).c_str(), m.measuredCounts,
                      m.expectedCounts, m.pass ? "pass" : "FAIL");
        text += line;
    }
    return text + (r.pass ? "selftest passed" : "selftest FAILED") + ", firmware " +
           (r.downloaded ? "loaded" : "already running");
}

QJsonObject selftestJson(const SelftestResult& r) {
    QJsonArray modes;
    for (const auto& m : r.modes) {
        modes.append(QJsonObject{{"mode", qstring(m.mode)},
                                 {"frame", qstring(formatCode(m.frame))},
                                 {"expected_counts", m.expectedCounts},
                                 {"measured_counts", m.measuredCounts},
                                 {"pass", m.pass}});
    }
    return {{"device", qstring(r.device)},
            {"modes", modes},
            {"pass", r.pass},
            {"firmware", firmwareWord(r.downloaded)}};
}

std::string listText(const ListResult& r) {
    if (!r.canList) {
        return r.library + " finds its board by itself and cannot list boards";
    }
    if (r.boards.empty()) {
        return "no board found through " + r.library;
    }
    std::string text;
    for (const auto& line : r.boards) {
        std::string row;
        bool deniedAccess = false;
        for (const auto& [key, value] : boardFields(line)) {
            row += (row.empty() ? "" : "  ") + key + " " + value;
            deniedAccess = deniedAccess || (key == "access" && value == "no");
        }
        text += (text.empty() ? "" : "\n") + row;
        if (deniedAccess) {
            text += "\n    this user may not open it: install the udev rule 60-qd1600.rules "
                    "into /etc/udev/rules.d or /usr/lib/udev/rules.d, then replug the board";
        }
    }
    if (!r.detailed) {
        text += "\n(" + r.library + " tells only the identifiers)";
    }
    return text;
}

QJsonObject listJson(const ListResult& r) {
    QJsonArray boards;
    for (const auto& line : r.boards) {
        QJsonObject board;
        for (const auto& [key, value] : boardFields(line)) {
            bool number = false;
            const int n = QString::fromStdString(value).toInt(&number);
            board.insert(qstring(key),
                         key == "id" && number ? QJsonValue(n) : QJsonValue(qstring(value)));
        }
        boards.append(board);
    }
    QJsonObject json{{"library", qstring(r.library)}, {"boards", boards}};
    if (!r.canList) {
        json.insert("can_list", false);
    }
    return json;
}

Outcome outcomeOf(const ProgramResult& r) {
    return {[&r] { return programText(r); }, [&r] { return programJson(r); }, Ok};
}

Outcome outcomeOf(const ReadResult& r) {
    return {[&r] { return readText(r); }, [&r] { return readJson(r); }, Ok};
}

Outcome outcomeOf(const VerifyResult& r) {
    return {[&r] { return verifyText(r); }, [&r] { return verifyJson(r); },
            r.pass ? Ok : CheckFailed};
}

Outcome outcomeOf(const SelftestResult& r) {
    return {[&r] { return selftestText(r); }, [&r] { return selftestJson(r); },
            r.pass ? Ok : CheckFailed};
}

Outcome outcomeOf(const ListResult& r) {
    return {[&r] { return listText(r); }, [&r] { return listJson(r); }, Ok};
}

} // namespace

namespace {

std::string rangeOf(const DeviceProfile& device) {
    return "the " + std::string(device.caption) + "'s range 0 to " +
           formatCode((1 << device.resolution) - 1);
}

} // namespace

Code validateCode(const DeviceProfile& device, const std::string& typed, bool clamp,
                  const std::string& what) {
    const std::string_view text(typed);
    if (text.starts_with("0x") || text.starts_with("0X") || text.starts_with("&H") ||
        text.starts_with("&h")) {
        throw Failure(BadCode, "bad code \"" + typed +
                                   "\": codes are hexadecimal digits without a prefix, as the "
                                   "data-word box takes them (800, not 0x800)");
    }
    // Checked exactly as the data-word box checks it, before anything
    // reaches the board.
    const std::optional<std::int32_t> valid = validateDataWord(typed, device.resolution);
    if (!valid) {
        throw Failure(BadCode, "bad code \"" + typed +
                                   "\": up to eight hexadecimal digits, no prefix or sign");
    }
    Code code{*valid, formatCode(*valid), {}};
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
    writeMessage(what + " " + typed + " clamped to " + code.shown + ", " + rangeOf(device));
    return code;
}

namespace {

std::string voltsText(double volts) {
    char text[32];
    std::snprintf(text, sizeof text, "%g V", volts);
    return text;
}

// The CODE argument, or the code nearest to --volts.
Code codeOf(const CodeOptions& o) {
    const DeviceProfile& device = o.device.deviceProfile();
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

ProgramResult programmed(const CodeOptions& o, const Session& s, const Code& code,
                         bool downloaded) {
    ProgramResult r;
    r.device = o.device.device;
    r.mode = o.device.mode;
    r.code = code.shown;
    r.typed = code.clampedFrom;
    r.clamped = !code.clampedFrom.empty();
    r.frame = s.state.DacWord;
    r.frameBits = s.state.FrameLength;
    r.index = board::writeIndex(s.state.FrameLength, s.state.PowerMode);
    r.downloaded = downloaded;
    return r;
}

ProgramResult runProgram(const CodeOptions& o, const CommonOptions& common,
                         run::Recording& recording) {
    const Code code = codeOf(o);
    auto [session, downloaded] =
        openRecorded(common, o.device, true, recording, {{"reference_v", formatNumber(o.vref)}});
    session->program(code.value);
    return programmed(o, *session, code, downloaded);
}

class ProgramCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description(
            "Loads the firmware unless the board runs it already, validates CODE as the "
            "data-word box does, composes the device's frame and writes it. Prints the code as "
            "shown and the frame. A code or voltage beyond the device's range is refused "
            "(status 3) unless --clamp asks for the box's clamping.");
        addDevice(app, o_.device, true);
        addMode(app, o_.device);
        addCode(app, o_);
        app.footer(footer("  qdctl program --device QD1200 800\n"
                          "  qdctl program --device QD1610 --mode 1k FFFF\n"
                          "  qdctl program --device QD1600 --volts 1.25"));
    }
    void check() const override {
        checkReference(o_.vref);
        checkVolts(o_.volts);
    }
    int run(const CommonOptions& common, run::Recording& recording) override {
        return finish(common, outcomeOf(runProgram(o_, common, recording)), recording.id());
    }

  private:
    CodeOptions o_;
};

ReadResult runRead(const CommonOptions& o, run::Recording& recording) {
    // No download unless asked: the board keeps running what it was last
    // given, so a read shows what an earlier command programmed.
    auto [session, downloaded] =
        openRecorded(o, {}, o.download, recording, {{"reading_unit", "counts"}});
    try {
        const auto reading = session->read();
        recording.conclude({}, {figureOf("reading_counts", reading.counts, "counts"),
                                figureOf("output_v", reading.volts, "V")});
        return {reading.counts, reading.volts};
    } catch (const Failure& f) {
        if (f.status() != RequestFailed) {
            throw;
        }
        const std::string next = "program a code first, or pass --download";
        if (fieldOf(listedBoard(session->binding(), session->board()), "firmware") == "no") {
            throw Failure(RequestFailed, "the board runs no firmware: " + next);
        }
        throw Failure(RequestFailed,
                      std::string(f.what()) + "; if the board runs no firmware yet, " + next);
    }
}

class ReadCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description("Reads the board's 12-bit measuring converter and prints the reading and "
                        "the voltage as the window shows it. Loads no firmware unless --download "
                        "is given, so it reads what an earlier command programmed.");
        app.footer(footer("  qdctl read\n  qdctl --json read"));
    }
    int run(const CommonOptions& common, run::Recording& recording) override {
        return finish(common, outcomeOf(runRead(common, recording)), recording.id());
    }
};

struct VerifyOptions : CodeOptions {
    // In measuring-converter counts: 2 unless told.
    std::optional<double> tolerance;
};

VerifyResult runVerify(const VerifyOptions& o, const CommonOptions& common,
                       run::Recording& recording) {
    const Code code = codeOf(o);
    auto [session, downloaded] =
        openRecorded(common, o.device, true, recording,
                     {{"reference_v", formatNumber(o.vref)}, {"reading_unit", "counts"}});
    session->program(code.value);
    const auto reading = session->read();
    recording.add(code.value, session->state.DacWord, {static_cast<double>(reading.counts)});
    VerifyResult r;
    r.programmed = programmed(o, *session, code, downloaded);
    const int bits = o.device.deviceProfile().resolution;
    const std::int16_t mode = o.device.powerMode();
    r.expectedVolts = expectedVolts(code.value, bits, o.vref, mode);
    r.expectedCounts = expectedCounts(code.value, bits, o.vref, mode);
    r.measuredVolts = reading.volts;
    r.measuredCounts = reading.counts;
    r.tolerance = o.tolerance.value_or(measure::kSelfTestToleranceCounts);
    r.pass = std::abs(reading.counts - r.expectedCounts) <= r.tolerance;
    results::Figure error = figureOf("error_counts", reading.counts - r.expectedCounts, "counts");
    error.code = code.value;
    error.limit = "±" + formatNumber(r.tolerance);
    recording.conclude(r.pass ? "PASS" : "FAIL", {error});
    return r;
}

class VerifyCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description("Programs CODE, reads the output back and compares it with "
                        "code / 2^bits x vref within a tolerance in measuring-converter counts.");
        addDevice(app, o_.device, true);
        addMode(app, o_.device);
        addCode(app, o_);
        addTolerance(app, o_.tolerance, " (default 2)");
        app.footer(footer("  qdctl verify --device QD1400 2000"));
    }
    void check() const override {
        checkReference(o_.vref);
        checkTolerance(o_.tolerance);
        checkVolts(o_.volts);
    }
    int run(const CommonOptions& common, run::Recording& recording) override {
        return finish(common, outcomeOf(runVerify(o_, common, recording)), recording.id());
    }

  private:
    VerifyOptions o_;
};

struct SelftestOptions {
    DeviceChoice device;
    // In measuring-converter counts: 2 unless told.
    std::optional<double> tolerance;
    double vref = board::kDefaultReferenceVolts;
};

SelftestResult runSelftest(const SelftestOptions& o, const CommonOptions& common,
                           run::Recording& recording) {
    auto [session, downloaded] =
        openRecorded(common, o.device, true, recording,
                     {{"reference_v", formatNumber(o.vref)}, {"reading_unit", "counts"}});
    const measure::SelfTestReport report =
        measure::runSelfTest(session->state, session->comms(), o.vref,
                             o.tolerance.value_or(measure::kSelfTestToleranceCounts));
    SelftestResult r;
    r.device = o.device.device;
    r.downloaded = downloaded;
    r.pass = report.pass;
    std::vector<results::Figure> figures;
    for (const auto& step : report.steps) {
        r.modes.push_back({std::string(scpi::powerModeWord(step.mode)), step.frame, step.expected,
                           step.measured, step.pass});
        figures.push_back(figureOf("error_counts_" + std::string(scpi::powerModeWord(step.mode)),
                                   step.measured - step.expected, "counts"));
        figures.back().code = step.frame;
    }
    recording.conclude(r.pass ? "PASS" : "FAIL", std::move(figures));
    return r;
}

class SelftestCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description("Programs mid-scale in each power mode and checks the reading: the "
                        "full mid-scale voltage in normal operation, 0 V in the three "
                        "power-down modes. Catches wrong power-down bits.");
        addDevice(app, o_.device, true);
        addTolerance(app, o_.tolerance, " (default 2)");
        addReference(app, o_.vref, "the expectations");
        app.footer(footer("  qdctl selftest --device QD1610"));
    }
    void check() const override {
        checkReference(o_.vref);
        checkTolerance(o_.tolerance);
    }
    int run(const CommonOptions& common, run::Recording& recording) override {
        return finish(common, outcomeOf(runSelftest(o_, common, recording)), recording.id());
    }

  private:
    SelftestOptions o_;
};

ListResult runList(const CommonOptions& o) {
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

class ListCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description("Shows each board the link library finds: its identifier (for --board), "
                        "bus and port, USB ids, whether its firmware runs and whether this user "
                        "may open it.");
        app.footer(footer("  qdctl list\n  QD_BOARD=sim qdctl --json list"));
    }
    int run(const CommonOptions& common, run::Recording&) override {
        return finish(common, outcomeOf(runList(common)));
    }
};

} // namespace

std::unique_ptr<Subcommand> makeProgramCommand() {
    return std::make_unique<ProgramCommand>();
}

std::unique_ptr<Subcommand> makeReadCommand() {
    return std::make_unique<ReadCommand>();
}

std::unique_ptr<Subcommand> makeVerifyCommand() {
    return std::make_unique<VerifyCommand>();
}

std::unique_ptr<Subcommand> makeSelftestCommand() {
    return std::make_unique<SelftestCommand>();
}

std::unique_ptr<Subcommand> makeListCommand() {
    return std::make_unique<ListCommand>();
}

} // namespace qd::qdctl

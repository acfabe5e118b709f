#include "run/Dynamic.h"

#include "control/DataWord.h"
#include "control/RuntimeError.h"
#include "meter/Meter.h"
#include "run/Board.h"
#include "run/Characterize.h"
#include "run/CharacterizeReport.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "run/Times.h"
#include "scope/Scope.h"
#include "session/ExitStatus.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace qd::run {

using session::BadArguments;
using session::Failure;
using session::MeterFailed;

std::optional<Band> Band::parse(std::string_view text, std::string& why) {
    Band band;
    const char* end = text.data() + text.size();
    const auto [at, ec] = std::from_chars(text.data(), end, band.value);
    std::string unit(at, end);
    std::transform(unit.begin(), unit.end(), unit.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (ec != std::errc() || !std::isfinite(band.value) || band.value <= 0 ||
        (unit != "lsb" && unit != "ppm" && unit != "mv")) {
        why = "\"" + std::string(text) +
              "\" is no band: give a number above 0 and its unit, lsb, ppm (of full scale) or mv, "
              "as 2lsb, 30ppm or 0.5mv";
        return std::nullopt;
    }
    band.unit = unit;
    return band;
}

double Band::volts(int bits, double referenceVolts) const {
    if (unit == "lsb") {
        return value * std::ldexp(referenceVolts, -bits);
    }
    return unit == "ppm" ? value * 1e-6 * referenceVolts : value * 1e-3;
}

std::string Band::text() const {
    char number[32];
    std::snprintf(number, sizeof number, "%g", value);
    return std::string("±") + number + " " + (unit == "lsb" ? "LSB" : unit == "ppm" ? "ppm" : "mV");
}

namespace {

struct Step {
    std::int32_t from = 0, to = 0;
};

std::int32_t codeOf(const std::string& text, const control::DeviceProfile& device,
                    const char* option) {
    std::int32_t code = -1;
    try {
        code = control::parseHexCode(text);
    } catch (const control::RuntimeError&) {
    }
    if (code < 0 || code >= (1 << device.resolution)) {
        throw Failure(BadArguments, std::string(option) + " " + text +
                                        ": give a hexadecimal code of the " +
                                        std::string(device.caption) + ", 0 to " +
                                        control::formatCode((1 << device.resolution) - 1));
    }
    return code;
}

// The step measured: a settling step's two codes, or a glitch's transition
// into `at` from the code below it.
Step stepOf(const DynamicSetup& s) {
    const control::DeviceProfile& device = s.device.deviceProfile();
    const std::int32_t full = 1 << device.resolution;
    if (s.kind == DynamicKind::Glitch) {
        const std::int32_t at = s.at.empty() ? full / 2 : codeOf(s.at, device, "--at");
        if (at < 2) {
            throw Failure(BadArguments, "--at " + s.at +
                                            ": a transition into it needs two codes below it, "
                                            "one for the step without its carry");
        }
        return {at - 1, at};
    }
    Step step{s.from.empty() ? full / 128 : codeOf(s.from, device, "--from"),
              s.to.empty() ? full - full / 128 : codeOf(s.to, device, "--to")};
    if (step.from == step.to) {
        throw Failure(BadArguments, "--from and --to name one code: a step needs two");
    }
    return step;
}

Band bandOf(const DynamicSetup& s) {
    std::string why;
    const std::optional<Band> band = Band::parse(s.band, why);
    if (!band) {
        throw Failure(BadArguments, "--band: " + why);
    }
    return *band;
}

double codeVolts(std::int32_t code, int bits, double vref) {
    return std::ldexp(static_cast<double>(code), -bits) * vref;
}

} // namespace

void checkDynamicSetup(const DynamicSetup& s) {
    s.device.deviceProfile();
    stepOf(s);
    bandOf(s);
    if (s.scope.empty()) {
        throw Failure(BadArguments, "--scope is required: the oscilloscope's VISA resource, as "
                                    "TCPIP::192.168.1.20::INSTR or TCPIP::HOST::5025::SOCKET");
    }
    if (s.averages < 0 || s.averages > 65536) {
        throw Failure(BadArguments, "--averages takes 1 to 65536 (0: as many as the band needs)");
    }
    if (!std::isfinite(s.scopeTimeout) || s.scopeTimeout <= 0) {
        throw Failure(BadArguments, "--scope-timeout takes a number of seconds above 0");
    }
    if (!std::isfinite(s.vref) || s.vref <= 0) {
        throw Failure(BadArguments, "--vref takes a voltage above 0");
    }
    limitsOf(s.limits);
}

namespace {

constexpr int kRecordPoints = 10000;

measure::ScopeCapabilities capabilitiesOf(const scope::Scope& scope) {
    const scope::Capabilities c = scope.capabilities();
    measure::ScopeCapabilities m;
    m.finestVoltsPerDivision = c.finestVoltsPerDivision;
    m.coarsestVoltsPerDivision = c.coarsestVoltsPerDivision;
    m.adcBits = c.adcBits;
    m.verticalDivisions = c.verticalDivisions;
    m.horizontalDivisions = c.horizontalDivisions;
    m.maxSampleRate = c.maxSampleRate;
    // Ten thousand points time a settling to a few thousandths of the
    // record's span, and every model of the four families takes them,
    // whatever its memory's depth.
    m.recordPoints = std::min(c.maxPoints, kRecordPoints);
    m.maxAverages = c.maxAverages;
    m.averagesPowerOfTwo = c.averagesPowerOfTwo;
    const std::string family = scope.family().name;
    // Only a 16-bit transfer keeps an average's fraction.
    m.keepsAverageFraction = family == "InfiniiVision" || family == "Tektronix";
    return m;
}

scope::Acquisition acquisitionOf(const measure::Acquisition& a, const scope::Capabilities& c) {
    scope::Acquisition s;
    s.voltsPerDivision = a.voltsPerDivision;
    s.centreVolts = a.centreVolts;
    s.secondsPerDivision = a.secondsPerDivision;
    s.startSeconds = a.startSeconds;
    s.averages = a.averages;
    const double points = a.sampleIntervalSeconds > 0 ? a.spanSeconds / a.sampleIntervalSeconds : 0;
    s.points = std::clamp(static_cast<int>(std::lround(points)), 2,
                          std::max(2, std::min(c.maxPoints, kRecordPoints)));
    return s;
}

struct Stopped {
    int signal;
};

// What a run holds open: the scope and the board, and how the step is
// made on the board.
struct Bench {
    scope::Scope& scope;
    session::Session& board;
    const Context& context;
    double timeoutSeconds;
    double seconds = 0; // in captures: the scope's acquisitions, transfers and answers

    // One record of the step from -> to: the code set to `from`, the scope
    // armed, the code set to `to`; while the scope averages, the step is
    // made again each time it has triggered, as it needs a trigger for
    // each acquisition.
    measure::Waveform capture(const measure::Acquisition& a, Step step) {
        const auto began = std::chrono::steady_clock::now();
        measure::Waveform w = captured(a, step);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        return w;
    }

    measure::Waveform captured(const measure::Acquisition& a, Step step) {
        scope.configure(acquisitionOf(a, scope.capabilities()));
        board.program(step.from);
        scope.arm();
        board.program(step.to);
        using Clock = std::chrono::steady_clock;
        const auto deadline =
            Clock::now() + std::chrono::duration<double>(timeoutSeconds + 0.01 * a.averages);
        while (!scope.done()) {
            if (const int signal = context.stop(); signal != 0) {
                throw Stopped{signal};
            }
            if (Clock::now() > deadline) {
                throw Failure(MeterFailed, "the scope " + scope.resource() +
                                               " did not end its acquisition within " +
                                               std::to_string(std::lround(timeoutSeconds)) +
                                               " s of the step: is its external trigger wired "
                                               "to the board's update?");
            }
            if (a.averages > 1 && scope.triggered()) {
                board.program(step.from);
                board.program(step.to);
            }
        }
        return scope.read();
    }
};

// A glitch's record: centred on the level after the transition, at a
// scale that holds the glitch's peak found on a first record, with the
// update a tenth of the way in.
measure::Acquisition glitchAcquisition(const measure::ScopeCapabilities& c, double centre,
                                       double voltsPerDivision, int averages) {
    measure::Acquisition a;
    a.voltsPerDivision =
        std::clamp(voltsPerDivision, c.finestVoltsPerDivision, c.coarsestVoltsPerDivision);
    a.centreVolts = centre;
    a.spanSeconds = 1e-6;
    a.secondsPerDivision = a.spanSeconds / c.horizontalDivisions;
    a.startSeconds = -0.1 * a.spanSeconds;
    a.sampleIntervalSeconds =
        std::max(1.0 / c.maxSampleRate, a.spanSeconds / std::max(2, c.recordPoints));
    a.averages = averages;
    return a;
}

double largestDeviation(const measure::Waveform& w, double centre) {
    double largest = 0;
    for (std::size_t i = 0; i < w.volts.size(); ++i) {
        if (w.clipped.empty() || !w.clipped[i]) {
            largest = std::max(largest, std::fabs(w.volts[i] - centre));
        }
    }
    return largest;
}

} // namespace

namespace {

// A budget's parts, kept with each figure for the report.
void addFigure(DynamicResult& r, const measure::FigureKind& kind,
               const measure::DynamicFigure& figure) {
    measure::KindFigure f;
    f.kind = &kind;
    f.figure.value = figure.value;
    f.figure.uncertainty = figure.uncertainty;
    r.figures.push_back(f);
    r.budgets.push_back(figure.budget);
}

void keepRecord(DynamicResult& r, const char* name, const measure::Waveform& w, double keepFrom,
                double keepTo) {
    r.records.push_back({name, measure::compactWaveform(w, keepFrom, keepTo)});
}

// The mean of a record's unclipped samples from `fromSeconds` to
// `toSeconds`; `otherwise` when it has none there.
double levelOf(const measure::Waveform& w, double fromSeconds, double toSeconds, double otherwise) {
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < w.volts.size(); ++i) {
        const double t = w.timeOf(i);
        if (t >= fromSeconds && t <= toSeconds && (w.clipped.empty() || !w.clipped[i])) {
            sum += w.volts[i];
            ++count;
        }
    }
    return count > 0 ? sum / static_cast<double>(count) : otherwise;
}

// Where a record's last fifth lies, in which the final value is taken.
double lastFifth(const measure::Waveform& w) {
    return w.timeOf(w.volts.size() * 4 / 5);
}

// The final level, found as closely as the fine record needs to sit on it:
// a level read on a record is only as good as the scope's gain away from
// that record's centre, so each record zooms in on the last one's reading,
// at a scale that holds three times its doubt, until the fine scale does.
double closerFinal(Bench& bench, const measure::ScopeCapabilities& caps,
                   const measure::SettlingPlan& plan, double estimate, double doubt, Step step) {
    const double halfScreen = caps.verticalDivisions / 2.0;
    for (int zoom = 0; zoom < 6 && 3 * doubt > plan.fine.voltsPerDivision * halfScreen / 2;
         ++zoom) {
        measure::Acquisition a = plan.fine;
        a.centreVolts = estimate;
        a.voltsPerDivision = std::clamp(3 * doubt / halfScreen, caps.finestVoltsPerDivision,
                                        caps.coarsestVoltsPerDivision);
        const measure::Waveform record = bench.capture(a, step);
        const double level = levelOf(record, lastFifth(record), 1, NAN);
        if (std::isnan(level)) {
            doubt *= 3; // off the screen: look wider
            continue;
        }
        doubt = measure::ScopeAccuracy{}.gainFraction * std::fabs(level - estimate) +
                2 * record.codeVolts;
        estimate = level;
    }
    return estimate;
}

// The lab's way: a coarse record of the whole step gives its levels, which
// a converter's offset and gain errors move from the codes' ideal ones, and
// foresees the settling time; closer records find the final level; the plan
// then sets the coarse and the fine record (centred on the final value, a
// fine scale, averaged).
void settle(DynamicResult& r, Bench& bench, const measure::ScopeCapabilities& caps, int averages,
            Step step) {
    const double nominalFrom = codeVolts(step.from, r.bits, r.referenceVolts);
    const double nominalTo = codeVolts(step.to, r.bits, r.referenceVolts);
    constexpr double kFirstGuess = 20e-6;
    const measure::SettlingPlan first =
        measure::planSettling(nominalFrom, nominalTo, r.bandVolts, caps, kFirstGuess, averages);
    const measure::Waveform look = bench.capture(first.coarse, step);
    const double from = levelOf(look, -1, 0, nominalFrom);
    double to = levelOf(look, lastFifth(look), 1, nominalTo);
    const double expected =
        measure::roughSettlingSeconds(look, from, to, r.bandVolts).value_or(kFirstGuess);
    const measure::SettlingPlan approach =
        measure::planSettling(from, to, r.bandVolts, caps, expected, averages);
    if (approach.resolvable) {
        const double doubt =
            measure::ScopeAccuracy{}.gainFraction * std::fabs(to - first.coarse.centreVolts) +
            2 * look.codeVolts;
        to = closerFinal(bench, caps, approach, to, doubt, step);
    }
    const measure::SettlingPlan plan =
        measure::planSettling(from, to, r.bandVolts, caps, expected, averages);
    if (!plan.resolvable) {
        r.why = plan.why;
        return;
    }
    const measure::Waveform coarse = bench.capture(plan.coarse, step);
    const measure::Waveform fine = bench.capture(plan.fine, step);
    r.scope = bench.scope.setup();
    const measure::SettlingResult s = measure::measureSettling(coarse, fine, from, to, r.bandVolts);
    r.notes = s.notes;
    keepRecord(r, "coarse", coarse, 0, s.crossingSeconds);
    keepRecord(r, "fine", fine, 0, 2 * s.crossingSeconds);
    r.centreVolts = s.fineFinalVolts;
    r.discardedFrom = s.discardedFromSeconds;
    r.discardedTo = s.discardedToSeconds;
    if (!s.resolved) {
        r.why = s.why;
        return;
    }
    r.resolved = true;
    r.markSeconds = s.crossingSeconds;
    addFigure(r, measure::kSettlingTime, s.settlingMicroseconds);
    if (s.slewVoltsPerMicrosecond) {
        addFigure(r, measure::kSlewRate, *s.slewVoltsPerMicrosecond);
    }
}

// How wide a lobe of `peak` is on a first look: twice the span where it
// stands above half its peak, as for a raised cosine; 50 ns when the look
// shows none.
double lobeSecondsOf(const measure::Waveform& look, double level, double peak) {
    double first = 0, last = 0;
    bool any = false;
    for (std::size_t i = 0; i < look.volts.size(); ++i) {
        if (std::fabs(look.volts[i] - level) > peak / 2 &&
            (look.clipped.empty() || !look.clipped[i])) {
            last = look.timeOf(i);
            first = any ? first : last;
            any = true;
        }
    }
    const double width = 2 * (last - first + look.intervalSeconds);
    return any && width > 0 ? width : 50e-9;
}

// The transition into the carry and, as its reference, the same one-code
// step below it, which carries nothing: its own settling and what any
// update couples into the output are then taken out of the glitch.
void glitch(DynamicResult& r, Bench& bench, const measure::ScopeCapabilities& caps, int averages,
            Step step) {
    const double level = codeVolts(step.to, r.bits, r.referenceVolts);
    const int count = averages > 0 ? averages : 64;
    // A first look on a scale that holds a large glitch foresees its peak
    // and width, which set the record it is measured on.
    const measure::Waveform look = bench.capture(glitchAcquisition(caps, level, 0.05, count), step);
    const double peak = std::max(largestDeviation(look, level), caps.finestVoltsPerDivision);
    const double lobe = lobeSecondsOf(look, level, peak);
    const measure::Waveform record =
        bench.capture(measure::planGlitch(level, peak, lobe, caps, count), step);
    r.scope = bench.scope.setup();
    const double below = codeVolts(step.from, r.bits, r.referenceVolts);
    const measure::Waveform reference = bench.capture(
        measure::planGlitch(below, peak, lobe, caps, count), {step.from - 1, step.from});
    const measure::GlitchResult g = measure::measureGlitch(record, &reference);
    r.notes = g.notes;
    keepRecord(r, "glitch", record, g.windowFromSeconds, g.windowToSeconds);
    keepRecord(r, "reference", reference, g.windowFromSeconds, g.windowToSeconds);
    r.centreVolts = g.afterVolts;
    r.discardedFrom = g.windowFromSeconds;
    r.discardedTo = g.windowToSeconds;
    if (!g.resolved) {
        r.why = g.why;
        return;
    }
    r.resolved = true;
    addFigure(r, measure::kGlitchImpulse, g.netNanovoltSeconds);
    addFigure(r, measure::kGlitchImpulseAbs, g.absNanovoltSeconds);
}

std::unique_ptr<scope::Scope> openScopeOf(const DynamicSetup& s) {
    scope::Options options;
    options.adcBits = s.scopeBits;
    try {
        return scope::openScope(
            s.scope,
            std::chrono::milliseconds(static_cast<std::int64_t>(std::lround(s.scopeTimeout * 1e3))),
            options);
    } catch (const std::invalid_argument& e) {
        throw Failure(BadArguments, std::string("--scope: ") + e.what());
    } catch (const meter::MeterError& e) {
        throw Failure(MeterFailed, e.what());
    }
}

std::string planText(const DynamicResult& r) {
    const std::string step =
        control::formatCode(r.fromCode) + " to " + control::formatCode(r.toCode);
    return r.kind == DynamicKind::Settle ? "settle " + step + " " + r.bandText : "glitch " + step;
}

} // namespace

namespace {

std::map<std::string, std::string> startFields(const DynamicSetup& s, const DynamicResult& r,
                                               const measure::Limits& limits) {
    return {
        {"reading_unit", "V"},          {"reference_v", control::formatNumber(r.referenceVolts)},
        {"plan", planText(r)},          {"limits", s.limits.empty() ? "" : limits.text()},
        {"dut_serial", s.serial},       {"operator", s.operatorName},
        {"temperature", s.temperature}, {"note", s.note}};
}

DynamicResult resultOf(const DynamicSetup& s, const session::CommonOptions& common) {
    const control::DeviceProfile& device = s.device.deviceProfile();
    DynamicResult r;
    r.kind = s.kind;
    r.device = s.device.device;
    r.mode = s.device.mode;
    r.bits = device.resolution;
    r.referenceVolts = s.vref;
    const Step step = stepOf(s);
    r.fromCode = step.from;
    r.toCode = step.to;
    if (s.kind == DynamicKind::Settle) {
        const Band band = bandOf(s);
        r.bandVolts = band.volts(r.bits, s.vref);
        r.bandText = band.text();
    }
    r.scopeResource = s.scope;
    r.serial = s.serial;
    r.operatorName = s.operatorName;
    r.temperature = s.temperature;
    r.note = s.note;
    r.version = QDCTL_VERSION;
    r.commandLine = common.commandLine;
    r.date = localNow();
    return r;
}

} // namespace

DynamicResult measureDynamic(const DynamicSetup& s, const session::CommonOptions& common,
                             const Context& context) {
    checkDynamicSetup(s);
    const measure::Limits limits = limitsOf(s.limits);
    checkReportPath(s.report, "", "", keptFilesOf(common));
    std::optional<Renderer> renderer;
    if (!s.report.empty()) {
        renderer.emplace();
    }
    DynamicResult r = resultOf(s, common);
    r.limits = limits;
    const auto started = std::chrono::steady_clock::now();
    const std::unique_ptr<scope::Scope> scope = openScopeOf(s);
    auto [session, downloaded] =
        openRecorded(common, s.device, true, context.recording, startFields(s, r, limits));
    (void)downloaded;
    const session::BoardFields listed = session::listedBoard(session->binding(), session->board());
    r.board = session::boardIdentifier(listed, session->board());
    r.boardSerial = session::fieldOf(listed, "serial");
    r.scope.identity = scope->identity();
    const std::shared_ptr<void> stopHeld = context.stopHeld();
    Bench bench{*scope, *session, context, s.scopeTimeout};
    const measure::ScopeCapabilities caps = capabilitiesOf(*scope);
    try {
        if (s.kind == DynamicKind::Settle) {
            settle(r, bench, caps, s.averages, {r.fromCode, r.toCode});
        } else {
            glitch(r, bench, caps, s.averages, {r.fromCode, r.toCode});
        }
    } catch (const Stopped& stopped) {
        r.signal = stopped.signal;
    } catch (const meter::MeterError& e) {
        throw Failure(MeterFailed, e.what());
    }
    r.scope.calibrationDate = scope->calibrationDate().value_or("");
    r.scope.family = scope->family().name;
    if (r.resolved) {
        r.verdict = measure::judge(r.figures, limits, s.acceptConditional);
    }
    r.scopeSeconds = bench.seconds;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    r.runId = context.recording.id();
    recordDynamic(context.recording, r);
    if (renderer && r.signal == 0) {
        renderer->write(dynamicReport(r), s.report,
                        extensionOf(s.report) == ".pdf" ? "pdf" : "html", false);
    }
    return r;
}

int dynamicStatus(const DynamicResult& r) {
    if (r.signal != 0) {
        return 128 + r.signal;
    }
    return r.resolved && r.verdict.pass ? session::Ok : session::CheckFailed;
}

} // namespace qd::run

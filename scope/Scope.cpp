#include "scope/Scope.h"

#include "scope/Block.h"
#include "scope/Preamble.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

namespace qd::scope {

namespace {

// How often a scope that was armed is asked whether it runs yet.
constexpr std::chrono::milliseconds kArmPoll{5};
// A transfer is waited for at 100 kB/s at least, beyond the usual timeout.
constexpr double kSlowestBytesPerMs = 100;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

std::string replaced(std::string text, std::string_view key, const std::string& value) {
    if (const auto at = text.find(key); at != std::string::npos) {
        text.replace(at, key.size(), value);
    }
    return text;
}

bool powerOfTwo(int n) {
    return n > 0 && (n & (n - 1)) == 0;
}

// yyyy-mm-dd from three numbers in either order a scope gives them (year
// first or last); nullopt for anything else, "0,0,0" of a scope never
// calibrated among it.
std::optional<std::string> dateOf(const std::string& answer) {
    std::vector<long> f;
    std::string_view rest = answer;
    while (f.size() < 4) {
        const auto value = numberIn(rest.substr(0, rest.find(',')));
        if (!value || *value != std::floor(*value)) {
            return std::nullopt;
        }
        f.push_back(std::lround(*value));
        if (rest.find(',') == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(rest.find(',') + 1);
    }
    if (f.size() != 3) {
        return std::nullopt;
    }
    const bool yearFirst = f[0] > 31;
    const long year = yearFirst ? f[0] : f[2];
    const long month = f[1];
    const long day = yearFirst ? f[2] : f[0];
    if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31) {
        return std::nullopt;
    }
    char date[16];
    std::snprintf(date, sizeof date, "%04ld-%02ld-%02ld", year, month, day);
    return date;
}

} // namespace

Scope::Scope(std::unique_ptr<meter::Transport> transport, std::string resource,
             std::chrono::milliseconds timeout, Options options)
    : io_(std::move(transport), "scope", std::move(resource), timeout, options.notice),
      options_(std::move(options)) {
    io_.setIdentity(meter::printable(meter::trimmed(io_.query("*IDN?"))));
    if (io_.identity().empty()) {
        fail("its *IDN? answer is empty");
    }
    family_ = familyOf(io_.identity());
    if (!family_) {
        fail("its maker is of none of the families this program speaks to, " + familyNames());
    }
    askCalibrationDate();
    const Capabilities c = capabilities();
    setup_.identity = io_.identity();
    setup_.calibrationDate = calibrationDate_.value_or("");
    setup_.family = family_->name;
    setup_.adcBits = c.adcBits;
    setup_.bandwidthHz = c.bandwidthHz;
}

void Scope::askCalibrationDate() {
    if (!family_->calibrationQuery) {
        return;
    }
    // Only the record shows it: a scope that does not tell it is used all
    // the same.
    if (const auto answer = io_.askIfKnown(family_->calibrationQuery)) {
        calibrationDate_ = dateOf(*answer);
    }
}

Capabilities Scope::capabilities() const {
    const Family& f = *family_;
    Capabilities c;
    c.finestVoltsPerDivision = f.finestVoltsPerDivision;
    c.coarsestVoltsPerDivision = f.coarsestVoltsPerDivision;
    c.adcBits = options_.adcBits.value_or(f.adcBits);
    c.bandwidthHz = options_.bandwidthHz.value_or(f.bandwidthHz);
    c.maxSampleRate = f.maxSampleRate;
    c.maxPoints = f.maxPoints;
    c.verticalDivisions = f.verticalDivisions;
    c.horizontalDivisions = f.horizontalDivisions;
    c.minAverages = f.minAverages;
    c.maxAverages = f.maxAverages;
    c.averagesPowerOfTwo = f.averagesPowerOfTwo;
    return c;
}

void Scope::check(const Acquisition& a) const {
    const Capabilities c = capabilities();
    if (!std::isfinite(a.voltsPerDivision) || !std::isfinite(a.centreVolts) ||
        !std::isfinite(a.secondsPerDivision) || !std::isfinite(a.startSeconds) ||
        a.secondsPerDivision <= 0) {
        fail("cannot be set to " + number(a.voltsPerDivision) + " V/div, " +
             number(a.secondsPerDivision) + " s/div, centre " + number(a.centreVolts) +
             " V, start " + number(a.startSeconds) + " s");
    }
    const double tolerance = 1 + 1e-9;
    if (a.voltsPerDivision * tolerance < c.finestVoltsPerDivision ||
        a.voltsPerDivision > c.coarsestVoltsPerDivision * tolerance) {
        fail(number(a.voltsPerDivision) + " V/div is beyond its " +
             number(c.finestVoltsPerDivision) + " to " + number(c.coarsestVoltsPerDivision) +
             " V/div");
    }
    if (a.points < 2 || a.points > c.maxPoints) {
        fail(std::to_string(a.points) + " points is beyond its 2 to " +
             std::to_string(c.maxPoints));
    }
    if (a.averages != 1 && (a.averages < c.minAverages || a.averages > c.maxAverages ||
                            (c.averagesPowerOfTwo && !powerOfTwo(a.averages)))) {
        fail(std::string(family_->name) + " averages " + std::to_string(c.minAverages) + " to " +
             std::to_string(c.maxAverages) +
             (c.averagesPowerOfTwo ? " acquisitions, a power of two," : " acquisitions,") +
             " not " + std::to_string(a.averages));
    }
    const double screen = a.secondsPerDivision * c.horizontalDivisions;
    if (family_->positionInPercent && (a.startSeconds > 0 || -a.startSeconds > screen)) {
        fail("its record begins between " + number(-screen) + " s and the trigger, not at " +
             number(a.startSeconds) + " s");
    }
}

void Scope::configure(const Acquisition& a) {
    check(a);
    const Family& f = *family_;
    const double screen = a.secondsPerDivision * f.horizontalDivisions;
    // + 0.0: no "-0" sent.
    const double offset = (f.offsetAddsToSignal ? -a.centreVolts : a.centreVolts) + 0.0;
    const double position =
        f.positionInPercent ? 100 * -a.startSeconds / screen : a.startSeconds + screen / 2;
    std::vector<std::string> commands = {"*RST", "*CLS"};
    for (const char* c : f.configure) {
        if (!c) {
            break;
        }
        std::string command = replaced(c, "{vdiv}", number(a.voltsPerDivision));
        command = replaced(command, "{offset}", number(offset));
        command = replaced(command, "{tdiv}", number(a.secondsPerDivision));
        command = replaced(command, "{position}", number(position));
        commands.push_back(replaced(command, "{points}", std::to_string(a.points)));
    }
    for (const char* c : a.averages > 1 ? f.average : f.normal) {
        if (c) {
            commands.push_back(replaced(c, "{count}", std::to_string(a.averages)));
        }
    }
    configured_ = false;
    for (const std::string& command : commands) {
        io_.command(command, f.errorQuery);
    }
    acquisition_ = a;
    configured_ = true;
    triggered_ = false;
    readBack();
}

double Scope::askNumber(const char* query) {
    const std::string answer = ask(query);
    const auto value = numberIn(answer);
    if (!value) {
        fail(std::string(query) + " answered \"" + meter::printable(answer.substr(0, 80)) +
             "\", which is no number");
    }
    return *value;
}

void Scope::readBack() {
    const Family& f = *family_;
    setup_.voltsPerDivision = askNumber(f.scaleQuery);
    const double offset = askNumber(f.offsetQuery);
    setup_.offsetVolts = (f.offsetAddsToSignal ? -offset : offset) + 0.0;
    setup_.secondsPerDivision = askNumber(f.timebaseQuery);
    setup_.sampleIntervalSeconds = 0;
    if (f.sampleRateQuery) {
        if (const double rate = askNumber(f.sampleRateQuery); rate > 0) {
            setup_.sampleIntervalSeconds = 1 / rate;
        }
    }
    setup_.averages = acquisition_.averages;
    setup_.points = acquisition_.points;
}

bool Scope::answerIn(const char* query, const char* answers) {
    return meter::namedIn(answers, bodyOf(ask(query)), false);
}

void Scope::arm() {
    if (!configured_) {
        fail("armed before it was set up");
    }
    const Family& f = *family_;
    if (f.beforeArm) {
        ask(f.beforeArm);
    }
    io_.command(f.arm, f.errorQuery);
    // Until it says it runs, the end of the acquisition before would be
    // taken for this one's.
    const auto deadline = std::chrono::steady_clock::now() + io_.timeout();
    while (done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            fail(std::string(f.arm) + " sent, but " + f.stateQuery +
                 " still says its acquisition has ended");
        }
        std::this_thread::sleep_for(kArmPoll);
    }
    triggered_ = false;
}

bool Scope::triggered() {
    if (!triggered_) {
        triggered_ = answerIn(family_->triggeredQuery, family_->triggeredAnswers);
    }
    return triggered_;
}

bool Scope::done() {
    const Family& f = *family_;
    const bool ended = f.runningBit != 0
                           ? (std::lround(askNumber(f.stateQuery)) & f.runningBit) == 0
                           : answerIn(f.stateQuery, f.doneAnswers);
    triggered_ = triggered_ || ended;
    return ended;
}

int Scope::memoryDepth() {
    const Family& f = *family_;
    if (const auto depth = numberIn(ask(f.depthQuery)); depth && *depth >= 1) {
        return static_cast<int>(std::lround(*depth));
    }
    // AUTO: as deep as the sample rate fills the screen.
    const double rate = askNumber(f.sampleRateQuery);
    return static_cast<int>(std::lround(rate * setup_.secondsPerDivision * f.horizontalDivisions));
}

measure::Waveform Scope::read() {
    if (!configured_) {
        fail("read before it was set up");
    }
    const Family& f = *family_;
    std::string why;
    const Ask asked = [this](const std::string& query) { return ask(query); };
    auto preamble = readPreamble(f, f.readAll ? 0 : acquisition_.points, asked, why);
    if (!preamble) {
        fail(why);
    }
    if (f.readAll) {
        // All the memory holds, as far as one read takes.
        const int depth = f.depthQuery ? memoryDepth() : preamble->points;
        preamble->points = std::min(depth, f.maxPoints);
        io_.command(replaced(f.readAll, "{points}", std::to_string(preamble->points)),
                    f.errorQuery);
    }
    const double bytes = static_cast<double>(preamble->points) * preamble->width;
    const auto timeout =
        io_.timeout() + std::chrono::milliseconds(std::lround(bytes / kSlowestBytesPerMs));
    const std::string answer = io_.queryBlock(f.dataQuery, timeout);
    const auto block = parseBlock(answer, why);
    if (!block) {
        fail(std::string(f.dataQuery) + "'s answer " + why);
    }
    auto w = decode(*preamble, block->bytes, capabilities().adcBits, why);
    if (!w) {
        fail(std::string(f.dataQuery) + ": " + why);
    }
    if (preamble->averages == 0) {
        w->averages = acquisition_.averages;
    }
    setup_.sampleIntervalSeconds = w->intervalSeconds;
    setup_.points = static_cast<int>(w->volts.size());
    setup_.averages = w->averages;
    return std::move(*w);
}

std::unique_ptr<Scope> openScope(const std::string& resource, std::chrono::milliseconds timeout,
                                 Options options) {
    std::string why;
    const auto r = meter::Resource::parse(resource, why, "scope");
    if (!r) {
        throw std::invalid_argument(why);
    }
    try {
        return std::make_unique<Scope>(meter::connect(*r, timeout), r->text, timeout,
                                       std::move(options));
    } catch (const meter::MeterError& e) {
        // The carriers name whatever they reach a meter.
        std::string message = e.what();
        if (message.starts_with("meter ")) {
            message.replace(0, 5, "scope");
        }
        throw meter::MeterError(message);
    }
}

ScopeIdentity identifyScope(const std::string& resource, std::chrono::milliseconds timeout) {
    const auto scope = openScope(resource, timeout);
    return {scope->identity(), scope->family().name, scope->calibrationDate().value_or("")};
}

} // namespace qd::scope

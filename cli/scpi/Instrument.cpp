#include "cli/scpi/Instrument.h"

#include "board/BoardFacts.h"
#include "cli/SelfTest.h"
#include "cli/scpi/Errors.h"
#include "cli/scpi/Parser.h"
#include "control/Commands.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>

namespace qd::scpi {

namespace {

// An execution error that ends one unit.
struct UnitError {
    int code;
};

// Event status register bits (IEEE 488.2) and the status byte's.
constexpr std::uint8_t kQueryErrorBit = 1u << 2;
constexpr std::uint8_t kDeviceErrorBit = 1u << 3;
constexpr std::uint8_t kExecutionErrorBit = 1u << 4;
constexpr std::uint8_t kCommandErrorBit = 1u << 5;
constexpr int kErrorQueueNotEmpty = 1 << 2;
constexpr int kEventSummary = 1 << 5;

std::uint8_t eventBit(int code) {
    if (code <= -100 && code > -200) {
        return kCommandErrorBit;
    }
    if (code <= -200 && code > -300) {
        return kExecutionErrorBit;
    }
    if (code <= -300 && code > -400) {
        return kDeviceErrorBit;
    }
    if (code <= -400 && code > -500) {
        return kQueryErrorBit;
    }
    return 0;
}

bool printable(char c) {
    return c >= 0x20 && c <= 0x7E;
}

// Text from outside (a board's message) made safe inside a quoted response
// string: printable ASCII only, quotes doubled, bounded.
std::string quotable(std::string_view text) {
    constexpr std::size_t kLongest = 120;
    std::string out;
    for (const char c : text.substr(0, kLongest)) {
        const char shown = printable(c) ? c : ' ';
        out += shown;
        if (shown == '"') {
            out += '"';
        }
    }
    return out;
}

// One *IDN? field: no field or unit separators, printable ASCII, bounded.
std::string idnField(std::string_view text) {
    constexpr std::size_t kLongest = 64;
    std::string out(text.substr(0, kLongest));
    for (char& c : out) {
        if (!printable(c) || c == ',' || c == ';') {
            c = '_';
        }
    }
    return out;
}

// The shortest text that reads back as the same double.
std::string shortest(double value) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
    return std::string(text, end);
}

std::string threeDecimals(double value) {
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 3);
    return ec == std::errc() ? std::string(text, end) : std::string("0.000");
}

bool matchesCommand(std::string_view pattern, const ProgramUnit& unit) {
    if (pattern.front() == '*') {
        return unit.common && matchesMnemonic(pattern.substr(1), unit.header.front());
    }
    return !unit.common && matchesHeader(pattern, unit.header);
}

// Power modes by the name of their parameter and the short form answered.
constexpr std::array<std::string_view, 4> kModeNames{"NORMal", "PD1K", "PD100K", "TSTate"};
constexpr std::array<std::string_view, 4> kModeAnswers{"NORM", "PD1K", "PD100K", "TST"};

} // namespace

// The handlers of the command table. A handler gets the one parameter of a
// command that takes one (nullptr otherwise), returns the answer of a query,
// and throws UnitError or what the board throws when it fails.
struct Handlers {
    using Answer = std::optional<std::string>;
    using Run = Answer (*)(Instrument&, const Parameter*);

    // What the one parameter of a command may be; anything else is -104.
    enum class Takes {
        Nothing,
        Number, // decimal, non-decimal, or character data such as MAXimum
        Choice, // character data
    };

    struct Command {
        std::string_view header;
        bool query;
        Takes takes;
        Run run;
    };

    static const Command* find(const ProgramUnit& unit);
    static int checkParameters(const Command& command, const ProgramUnit& unit);
    // Puts the failure being handled into the error queue.
    static void recordFailure(Instrument& in);

    static Answer identify(Instrument& in, const Parameter*) {
        return "Quensor,QD1600 evaluation board," + idnField(in.board_.identifier()) + "," +
               idnField(in.version_);
    }

    static Answer reset(Instrument& in, const Parameter*) {
        in.referenceVolts_ = board::kDefaultReferenceVolts;
        if (!in.device_) {
            in.state_.selectPowerMode(0);
            in.code_ = 0;
            return std::nullopt;
        }
        in.write(0, 0);
        return std::nullopt;
    }

    static Answer clearStatus(Instrument& in, const Parameter*) {
        in.errors_.clear();
        in.eventStatus_ = 0;
        return std::nullopt;
    }

    static Answer operationComplete(Instrument&, const Parameter*) { return "1"; }

    static Answer eventStatus(Instrument& in, const Parameter*) {
        const int value = in.eventStatus_;
        in.eventStatus_ = 0;
        return std::to_string(value);
    }

    static Answer statusByte(Instrument& in, const Parameter*) {
        const int value = (in.errors_.empty() ? 0 : kErrorQueueNotEmpty) |
                          (in.eventStatus_ != 0 ? kEventSummary : 0);
        return std::to_string(value);
    }

    // Answers 1 also when the test could not run to its end (IEEE 488.2:
    // not completed is not passed); why is in the error queue.
    static Answer selfTest(Instrument& in, const Parameter*) {
        const std::int16_t mode = in.state_.PowerMode;
        bool pass = false;
        try {
            in.requireDevice();
            in.board_.ready();
            pass = cli::runSelfTest(in.state_, in.board_.board(), in.referenceVolts_,
                                    Instrument::kSelfTestTolerance)
                       .pass;
        } catch (...) {
            recordFailure(in);
        }
        if (in.device_) {
            // The output as it was before the test.
            in.state_.selectPowerMode(mode);
            try {
                in.write(in.code_, mode);
            } catch (...) {
                recordFailure(in);
                pass = false;
            }
        }
        return pass ? "0" : "1";
    }

    static Answer nextError(Instrument& in, const Parameter*) {
        if (in.errors_.empty()) {
            return "0,\"No error\"";
        }
        const Instrument::QueuedError error = std::move(in.errors_.front());
        in.errors_.pop_front();
        return std::to_string(error.code) + ",\"" + error.text + "\"";
    }

    static Answer version(Instrument&, const Parameter*) { return "1999.0"; }

    static Answer setDevice(Instrument& in, const Parameter* p) {
        if (!in.selectDevice(p->text)) {
            throw UnitError{IllegalParameterValue};
        }
        return std::nullopt;
    }

    static Answer device(Instrument& in, const Parameter*) {
        return std::string(in.device_ ? in.device_->caption : "NONE");
    }

    static Answer setCode(Instrument& in, const Parameter* p) {
        std::int32_t code = 0;
        if (p->kind == DataKind::Character) {
            code = extremeCode(in, *p);
        } else {
            if (p->number != std::floor(p->number)) {
                throw UnitError{IllegalParameterValue};
            }
            in.requireDevice();
            if (!(p->number >= 0 && p->number <= in.largestCode())) {
                throw UnitError{DataOutOfRange};
            }
            code = static_cast<std::int32_t>(p->number);
        }
        in.write(code, in.state_.PowerMode);
        return std::nullopt;
    }

    static Answer code(Instrument& in, const Parameter*) { return std::to_string(in.code_); }

    static Answer setPowerMode(Instrument& in, const Parameter* p) {
        const auto name =
            std::find_if(kModeNames.begin(), kModeNames.end(),
                         [&](std::string_view n) { return matchesMnemonic(n, p->text); });
        if (name == kModeNames.end()) {
            throw UnitError{IllegalParameterValue};
        }
        in.write(in.code_, static_cast<std::int16_t>(name - kModeNames.begin()));
        return std::nullopt;
    }

    static Answer powerMode(Instrument& in, const Parameter*) {
        const int mode = in.state_.PowerMode;
        if (mode < 0 || mode >= static_cast<int>(kModeAnswers.size())) {
            return std::to_string(mode);
        }
        return std::string(kModeAnswers[static_cast<std::size_t>(mode)]);
    }

    static Answer frame(Instrument& in, const Parameter*) { return std::to_string(in.frame_); }

    // The code nearest the level; the reference itself gives the largest.
    static Answer setLevel(Instrument& in, const Parameter* p) {
        std::int32_t code = 0;
        if (p->kind == DataKind::Character) {
            code = extremeCode(in, *p);
        } else {
            in.requireDevice();
            const double volts = p->number;
            if (!(volts >= 0 && volts <= in.referenceVolts_)) {
                throw UnitError{DataOutOfRange};
            }
            const double nearest =
                std::round(std::ldexp(volts / in.referenceVolts_, in.state_.Resolution));
            code = static_cast<std::int32_t>(std::min<double>(nearest, in.largestCode()));
        }
        in.write(code, in.state_.PowerMode);
        return std::nullopt;
    }

    static Answer level(Instrument& in, const Parameter*) {
        in.requireDevice();
        return shortest(std::ldexp(static_cast<double>(in.code_), -in.state_.Resolution) *
                        in.referenceVolts_);
    }

    static Answer setReference(Instrument& in, const Parameter* p) {
        if (p->kind == DataKind::Character) {
            throw UnitError{IllegalParameterValue};
        }
        if (!(std::isfinite(p->number) && p->number > 0)) {
            throw UnitError{DataOutOfRange};
        }
        in.referenceVolts_ = p->number;
        return std::nullopt;
    }

    static Answer reference(Instrument& in, const Parameter*) {
        return shortest(in.referenceVolts_);
    }

    static Answer measureVolts(Instrument& in, const Parameter*) {
        in.board_.ready();
        return threeDecimals(ReadVoltage(in.state_, in.board_.board()));
    }

    static Answer measureRaw(Instrument& in, const Parameter*) {
        in.board_.ready();
        ReadVoltage(in.state_, in.board_.board());
        return std::to_string(in.state_.AdcReading);
    }

  private:
    // The largest code for MAXimum, 0 for MINimum, -224 for any other name;
    // either needs a converter.
    static std::int32_t extremeCode(Instrument& in, const Parameter& p) {
        const bool largest = matchesMnemonic("MAXimum", p.text);
        if (!largest && !matchesMnemonic("MINimum", p.text)) {
            throw UnitError{IllegalParameterValue};
        }
        in.requireDevice();
        return largest ? in.largestCode() : 0;
    }
};

namespace {

using Takes = Handlers::Takes;
constexpr bool kQuery = true;
constexpr bool kSet = false;

// Common commands first, then the subsystems; a header may appear once as a
// setting and once as a query.
constexpr Handlers::Command kCommands[] = {
    {"*IDN", kQuery, Takes::Nothing, &Handlers::identify},
    {"*RST", kSet, Takes::Nothing, &Handlers::reset},
    {"*CLS", kSet, Takes::Nothing, &Handlers::clearStatus},
    {"*OPC", kQuery, Takes::Nothing, &Handlers::operationComplete},
    {"*ESR", kQuery, Takes::Nothing, &Handlers::eventStatus},
    {"*STB", kQuery, Takes::Nothing, &Handlers::statusByte},
    {"*TST", kQuery, Takes::Nothing, &Handlers::selfTest},
    {"SYSTem:ERRor[:NEXT]", kQuery, Takes::Nothing, &Handlers::nextError},
    {"SYSTem:VERSion", kQuery, Takes::Nothing, &Handlers::version},
    {"SYSTem:DEVice", kSet, Takes::Choice, &Handlers::setDevice},
    {"SYSTem:DEVice", kQuery, Takes::Nothing, &Handlers::device},
    {"SOURce:DAC:CODE", kSet, Takes::Number, &Handlers::setCode},
    {"SOURce:DAC:CODE", kQuery, Takes::Nothing, &Handlers::code},
    {"SOURce:DAC:PMODe", kSet, Takes::Choice, &Handlers::setPowerMode},
    {"SOURce:DAC:PMODe", kQuery, Takes::Nothing, &Handlers::powerMode},
    {"SOURce:DAC:FRAMe", kQuery, Takes::Nothing, &Handlers::frame},
    {"SOURce:VOLTage[:LEVel]", kSet, Takes::Number, &Handlers::setLevel},
    {"SOURce:VOLTage[:LEVel]", kQuery, Takes::Nothing, &Handlers::level},
    {"SOURce:VOLTage:REFerence", kSet, Takes::Number, &Handlers::setReference},
    {"SOURce:VOLTage:REFerence", kQuery, Takes::Nothing, &Handlers::reference},
    {"MEASure:VOLTage[:DC]", kQuery, Takes::Nothing, &Handlers::measureVolts},
    {"MEASure:RAW", kQuery, Takes::Nothing, &Handlers::measureRaw},
};

} // namespace

const Handlers::Command* Handlers::find(const ProgramUnit& unit) {
    for (const Command& command : kCommands) {
        if (command.query == unit.query && matchesCommand(command.header, unit)) {
            return &command;
        }
    }
    return nullptr;
}

int Handlers::checkParameters(const Command& command, const ProgramUnit& unit) {
    const auto& parameters = unit.parameters;
    if (command.takes == Takes::Nothing) {
        return parameters.empty() ? NoError : ParameterNotAllowed;
    }
    if (parameters.empty()) {
        return MissingParameter;
    }
    if (parameters.size() > 1) {
        return ParameterNotAllowed;
    }
    const DataKind kind = parameters.front().kind;
    const bool fits = kind == DataKind::Character ||
                      (command.takes == Takes::Number &&
                       (kind == DataKind::Decimal || kind == DataKind::NonDecimal));
    return fits ? NoError : DataTypeError;
}

void Handlers::recordFailure(Instrument& in) {
    try {
        throw;
    } catch (const UnitError& e) {
        in.reportError(e.code);
    } catch (const BoardError& e) {
        in.reportError(e.code() == HardwareMissing ? HardwareMissing : HardwareError, e.what());
    } catch (const std::exception& e) {
        in.reportError(DeviceSpecificError, e.what());
    } catch (...) {
        in.reportError(DeviceSpecificError);
    }
}

Instrument::Instrument(ControlState& state, InstrumentBoard& board, std::string version)
    : state_(state), board_(board), version_(std::move(version)),
      referenceVolts_(board::kDefaultReferenceVolts) {}

std::string Instrument::execute(std::string_view message) {
    const ParsedMessage parsed = parse(message);
    std::string response;
    for (const ProgramUnit& unit : parsed.units) {
        const Handlers::Command* command = Handlers::find(unit);
        if (!command) {
            reportError(UndefinedHeader);
            return response;
        }
        if (const int error = Handlers::checkParameters(*command, unit)) {
            reportError(error);
            return response;
        }
        try {
            const Parameter* parameter =
                unit.parameters.empty() ? nullptr : &unit.parameters.front();
            if (const auto answer = command->run(*this, parameter)) {
                if (!response.empty()) {
                    response += ';';
                }
                response += *answer;
            }
        } catch (...) {
            Handlers::recordFailure(*this);
        }
    }
    if (parsed.error) {
        reportError(parsed.error);
    }
    return response;
}

void Instrument::reportError(int code, std::string_view detail) {
    if (code >= 0) {
        return;
    }
    eventStatus_ |= eventBit(code);
    if (errors_.size() >= kErrorQueueSize) {
        // The newest entry gives way, so that the oldest errors, which
        // usually explain the later ones, are kept.
        errors_.back() = {QueueOverflow, std::string(errorText(QueueOverflow))};
        eventStatus_ |= eventBit(QueueOverflow);
        return;
    }
    std::string text(errorText(code));
    if (!detail.empty()) {
        text += ';' + quotable(detail);
    }
    errors_.push_back({code, std::move(text)});
}

bool Instrument::selectDevice(std::string_view caption) {
    for (const DeviceProfile& device : kDevices) {
        if (matchesMnemonic(device.caption, caption)) {
            if (&device != device_) {
                device_ = &device;
                code_ = 0;
            }
            state_.selectDevice(device);
            return true;
        }
    }
    return false;
}

void Instrument::requireDevice() const {
    if (!device_) {
        throw UnitError{SettingsConflict};
    }
}

std::int32_t Instrument::largestCode() const {
    return (std::int32_t{1} << state_.Resolution) - 1;
}

void Instrument::write(std::int32_t code, std::int16_t mode) {
    requireDevice();
    board_.ready();
    const std::int16_t before = state_.PowerMode;
    state_.selectPowerMode(mode);
    state_.DacWord = code;
    try {
        SendDacWord(state_, board_.board());
    } catch (...) {
        state_.selectPowerMode(before);
        throw;
    }
    code_ = code;
    frame_ = state_.DacWord;
}

} // namespace qd::scpi

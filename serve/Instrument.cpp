#include "serve/Instrument.h"

#include "board/BoardFacts.h"
#include "control/DataWord.h"
#include "measure/SelfTest.h"
#include "measure/SweepStatistics.h"
#include "scpi/Errors.h"
#include "scpi/Parser.h"
#include "scpi/PowerModes.h"
#include "scpi/Status.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>

namespace qd::serve {

using scpi::ClientStatus;
using scpi::DataKind;
using scpi::DataOutOfRange;
using scpi::DataTypeError;
using scpi::DeviceSpecificError;
using scpi::equalsIgnoringCase;
using scpi::ExecutionError;
using scpi::findPowerMode;
using scpi::HardwareError;
using scpi::HardwareMissing;
using scpi::IllegalParameterValue;
using scpi::InvalidSuffix;
using scpi::kOperationCompleteBit;
using scpi::kPowerModeNames;
using scpi::matchesCommand;
using scpi::matchesMnemonic;
using scpi::MissingParameter;
using scpi::NoError;
using scpi::Parameter;
using scpi::ParameterNotAllowed;
using scpi::parse;
using scpi::ParsedMessage;
using scpi::powerModeAnswer;
using scpi::ProgramUnit;
using scpi::queueError;
using scpi::reportError;
using scpi::SettingsConflict;
using scpi::SuffixNotAllowed;
using scpi::takeError;
using scpi::UndefinedHeader;

using control::ControlState;
using control::DeviceProfile;
using control::formatNumber;
using control::kDevices;
using control::ReadVoltage;
using control::SendDacWord;

namespace {

// An execution error that ends one unit.
struct UnitError {
    int code;
};

// The status byte's bits.
constexpr int kErrorQueueNotEmpty = 1 << 2;
constexpr int kEventSummary = 1 << 5;
constexpr int kMasterSummary = 1 << 6;

bool printable(char c) {
    return c >= 0x20 && c <= 0x7E;
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

} // namespace

// The handlers of the command table. A handler gets the one parameter of a
// command that takes one (nullptr otherwise), returns the answer of a query,
// and throws UnitError or what the board throws when it fails.
struct Handlers {
    using Answer = std::optional<std::string>;

    // The instrument and the client whose message runs.
    struct Call {
        Instrument& in;
        ClientStatus& client;
    };
    using Run = Answer (*)(Call, const Parameter*);

    // What the one parameter of a command may be; anything else is -104.
    enum class Takes {
        Nothing,
        Number,  // decimal, non-decimal, or character data such as MAXimum
        Volts,   // a Number whose decimal may carry the suffix V or MV
        Choice,  // character data
        Mode,    // character data, or 1k and 100k, which read as numbers
        Extreme, // a query's optional MINimum or MAXimum
    };

    // Whether a client that does not hold the lock may run the command:
    // Shared ones change what every client sees.
    enum class Scope { Own, Shared };

    struct Command {
        std::string_view header;
        bool query;
        Takes takes;
        Scope scope;
        Run run;
    };

    static const Command* find(const ProgramUnit& unit);
    static int checkParameters(const Command& command, const ProgramUnit& unit);
    // Puts the failure being handled into the client's error queue.
    static void recordFailure(Call c);

    static Answer identify(Call c, const Parameter*) {
        return "Quensor,QD1600 evaluation board," + idnField(c.in.board_.identifier()) + "," +
               idnField(c.in.version_);
    }

    static Answer reset(Call c, const Parameter*) {
        Instrument& in = c.in;
        in.referenceVolts_ = board::kDefaultReferenceVolts;
        if (!in.device_) {
            in.state_.selectPowerMode(0);
            in.code_ = 0;
            return std::nullopt;
        }
        in.write(0, 0);
        return std::nullopt;
    }

    static Answer clearStatus(Call c, const Parameter*) {
        c.client.errors.clear();
        c.client.eventStatus = 0;
        return std::nullopt;
    }

    // Every operation is complete once its message has run.
    static Answer operationComplete(Call c, const Parameter*) {
        c.client.eventStatus |= kOperationCompleteBit;
        return std::nullopt;
    }
    static Answer operationCompleteQuery(Call, const Parameter*) { return "1"; }
    static Answer wait(Call, const Parameter*) { return std::nullopt; }

    static Answer eventStatus(Call c, const Parameter*) {
        const int value = c.client.eventStatus;
        c.client.eventStatus = 0;
        return std::to_string(value);
    }

    static Answer setEventEnable(Call c, const Parameter* p) {
        c.client.eventEnable = registerValue(*p);
        return std::nullopt;
    }
    static Answer eventEnable(Call c, const Parameter*) {
        return std::to_string(c.client.eventEnable);
    }

    // Bit 6 of the status byte is a summary, not a condition to enable.
    static Answer setServiceEnable(Call c, const Parameter* p) {
        c.client.serviceEnable = registerValue(*p) & ~kMasterSummary;
        return std::nullopt;
    }
    static Answer serviceEnable(Call c, const Parameter*) {
        return std::to_string(c.client.serviceEnable);
    }

    static Answer statusByte(Call c, const Parameter*) {
        const ClientStatus& s = c.client;
        int value = (s.errors.empty() ? 0 : kErrorQueueNotEmpty) |
                    ((s.eventStatus & s.eventEnable) != 0 ? kEventSummary : 0);
        if ((value & s.serviceEnable) != 0) {
            value |= kMasterSummary;
        }
        return std::to_string(value);
    }

    // Answers 1 also when the test could not run to its end (IEEE 488.2:
    // not completed is not passed); why is in the error queue.
    static Answer selfTest(Call c, const Parameter*) {
        Instrument& in = c.in;
        const std::int16_t mode = in.state_.PowerMode;
        bool pass = false;
        try {
            in.requireDevice();
            in.board_.ready();
            pass = measure::runSelfTest(in.state_, in.board_.board(), in.referenceVolts_).pass;
        } catch (...) {
            recordFailure(c);
        }
        if (in.device_) {
            // The output as it was before the test.
            in.state_.selectPowerMode(mode);
            try {
                in.write(in.code_, mode);
            } catch (...) {
                recordFailure(c);
                pass = false;
            }
        }
        return pass ? "0" : "1";
    }

    static Answer nextError(Call c, const Parameter*) { return takeError(c.client); }

    static Answer errorCount(Call c, const Parameter*) {
        return std::to_string(c.client.errors.size());
    }

    // Every entry, oldest first; "No error" when there is none.
    static Answer allErrors(Call c, const Parameter*) {
        std::string answer = takeError(c.client);
        while (!c.client.errors.empty()) {
            answer += "," + takeError(c.client);
        }
        return answer;
    }

    static Answer version(Call, const Parameter*) { return "1999.0"; }

    static Answer setDevice(Call c, const Parameter* p) {
        if (!c.in.selectDevice(p->text)) {
            throw UnitError{IllegalParameterValue};
        }
        return std::nullopt;
    }

    static Answer device(Call c, const Parameter*) {
        return std::string(c.in.device_ ? c.in.device_->caption : "NONE");
    }

    static Answer setCode(Call c, const Parameter* p) {
        Instrument& in = c.in;
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

    static Answer code(Call c, const Parameter* p) {
        return std::to_string(p ? extremeCode(c.in, *p) : c.in.code_);
    }

    static Answer setPowerMode(Call c, const Parameter* p) {
        if (p->kind == DataKind::Decimal && p->suffix.empty()) {
            throw UnitError{DataTypeError};
        }
        const auto mode = findPowerMode(p->text);
        if (!mode) {
            throw UnitError{IllegalParameterValue};
        }
        c.in.write(c.in.code_, *mode);
        return std::nullopt;
    }

    static Answer powerMode(Call c, const Parameter*) {
        const int mode = c.in.state_.PowerMode;
        if (mode < 0 || mode >= static_cast<int>(kPowerModeNames.size())) {
            return std::to_string(mode);
        }
        return std::string(powerModeAnswer(mode));
    }

    static Answer frame(Call c, const Parameter*) { return std::to_string(c.in.frame_); }

    // The code nearest the level; the reference itself gives the largest.
    static Answer setLevel(Call c, const Parameter* p) {
        Instrument& in = c.in;
        std::int32_t code = 0;
        if (p->kind == DataKind::Character) {
            code = extremeCode(in, *p);
        } else {
            in.requireDevice();
            const double volts = voltsOf(*p);
            if (!(volts >= 0 && volts <= in.referenceVolts_)) {
                throw UnitError{DataOutOfRange};
            }
            code = measure::nearestCode(volts, in.state_.Resolution, in.referenceVolts_);
        }
        in.write(code, in.state_.PowerMode);
        return std::nullopt;
    }

    static Answer level(Call c, const Parameter* p) {
        Instrument& in = c.in;
        in.requireDevice();
        const std::int32_t code = p ? extremeCode(in, *p) : in.code_;
        return formatNumber(std::ldexp(static_cast<double>(code), -in.state_.Resolution) *
                            in.referenceVolts_);
    }

    static Answer setReference(Call c, const Parameter* p) {
        if (p->kind == DataKind::Character) {
            throw UnitError{IllegalParameterValue};
        }
        const double volts = voltsOf(*p);
        if (!(volts >= board::kMinReferenceVolts && volts <= board::kMaxReferenceVolts)) {
            throw UnitError{DataOutOfRange};
        }
        c.in.referenceVolts_ = volts;
        return std::nullopt;
    }

    static Answer reference(Call c, const Parameter*) { return formatNumber(c.in.referenceVolts_); }

    static Answer measureVolts(Call c, const Parameter*) {
        return board::readingVoltsText(measure(c.in));
    }

    static Answer measureRaw(Call c, const Parameter*) { return std::to_string(measure(c.in)); }

    static Answer requestLock(Call c, const Parameter*) {
        Instrument& in = c.in;
        if (in.lockHolder_ && in.lockHolder_ != &c.client) {
            return "0";
        }
        in.lockHolder_ = &c.client;
        ++c.client.locks;
        return "1";
    }

    // Letting go of a lock one does not hold has nothing to do.
    static Answer releaseLock(Call c, const Parameter*) {
        if (c.in.lockHolder_ == &c.client && --c.client.locks == 0) {
            c.in.lockHolder_ = nullptr;
        }
        return std::nullopt;
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

    // A number in volts, from V or MV; checkParameters let no other
    // suffix through.
    static double voltsOf(const Parameter& p) {
        return equalsIgnoringCase(p.suffix, "MV") ? p.number / 1000 : p.number;
    }

    // *ESE and *SRE: 0 to 255, rounded as IEEE 488.2 has it.
    static std::uint8_t registerValue(const Parameter& p) {
        if (p.kind == DataKind::Character) {
            throw UnitError{IllegalParameterValue};
        }
        const double value = std::round(p.number);
        if (!(value >= 0 && value <= 255)) {
            throw UnitError{DataOutOfRange};
        }
        return static_cast<std::uint8_t>(value);
    }

    // One reading of the measuring converter, its low 12 bits.
    static std::int32_t measure(Instrument& in) {
        in.board_.ready();
        ReadVoltage(in.state_, in.board_.board());
        return in.state_.AdcReading;
    }
};

namespace {

using Takes = Handlers::Takes;
using Scope = Handlers::Scope;
constexpr bool kQuery = true;
constexpr bool kSet = false;

// Common commands first, then the subsystems; a header may appear once as a
// setting and once as a query.
constexpr Handlers::Command kCommands[] = {
    {"*IDN", kQuery, Takes::Nothing, Scope::Own, &Handlers::identify},
    {"*RST", kSet, Takes::Nothing, Scope::Shared, &Handlers::reset},
    {"*CLS", kSet, Takes::Nothing, Scope::Own, &Handlers::clearStatus},
    {"*OPC", kSet, Takes::Nothing, Scope::Own, &Handlers::operationComplete},
    {"*OPC", kQuery, Takes::Nothing, Scope::Own, &Handlers::operationCompleteQuery},
    {"*WAI", kSet, Takes::Nothing, Scope::Own, &Handlers::wait},
    {"*ESE", kSet, Takes::Number, Scope::Own, &Handlers::setEventEnable},
    {"*ESE", kQuery, Takes::Nothing, Scope::Own, &Handlers::eventEnable},
    {"*ESR", kQuery, Takes::Nothing, Scope::Own, &Handlers::eventStatus},
    {"*SRE", kSet, Takes::Number, Scope::Own, &Handlers::setServiceEnable},
    {"*SRE", kQuery, Takes::Nothing, Scope::Own, &Handlers::serviceEnable},
    {"*STB", kQuery, Takes::Nothing, Scope::Own, &Handlers::statusByte},
    {"*TST", kQuery, Takes::Nothing, Scope::Shared, &Handlers::selfTest},
    {"SYSTem:ERRor[:NEXT]", kQuery, Takes::Nothing, Scope::Own, &Handlers::nextError},
    {"SYSTem:ERRor:COUNt", kQuery, Takes::Nothing, Scope::Own, &Handlers::errorCount},
    {"SYSTem:ERRor:ALL", kQuery, Takes::Nothing, Scope::Own, &Handlers::allErrors},
    {"SYSTem:VERSion", kQuery, Takes::Nothing, Scope::Own, &Handlers::version},
    {"SYSTem:DEVice", kSet, Takes::Choice, Scope::Shared, &Handlers::setDevice},
    {"SYSTem:DEVice", kQuery, Takes::Nothing, Scope::Own, &Handlers::device},
    {"SYSTem:LOCK:REQuest", kQuery, Takes::Nothing, Scope::Own, &Handlers::requestLock},
    {"SYSTem:LOCK:RELease", kSet, Takes::Nothing, Scope::Own, &Handlers::releaseLock},
    {"[SOURce]:DAC:CODE", kSet, Takes::Number, Scope::Shared, &Handlers::setCode},
    {"[SOURce]:DAC:CODE", kQuery, Takes::Extreme, Scope::Own, &Handlers::code},
    {"[SOURce]:DAC:PMODe", kSet, Takes::Mode, Scope::Shared, &Handlers::setPowerMode},
    {"[SOURce]:DAC:PMODe", kQuery, Takes::Nothing, Scope::Own, &Handlers::powerMode},
    {"[SOURce]:DAC:FRAMe", kQuery, Takes::Nothing, Scope::Own, &Handlers::frame},
    {"[SOURce]:VOLTage[:LEVel]", kSet, Takes::Volts, Scope::Shared, &Handlers::setLevel},
    {"[SOURce]:VOLTage[:LEVel]", kQuery, Takes::Extreme, Scope::Own, &Handlers::level},
    {"[SOURce]:VOLTage:REFerence", kSet, Takes::Volts, Scope::Shared, &Handlers::setReference},
    {"[SOURce]:VOLTage:REFerence", kQuery, Takes::Nothing, Scope::Own, &Handlers::reference},
    {"MEASure[:VOLTage][:DC]", kQuery, Takes::Nothing, Scope::Own, &Handlers::measureVolts},
    {"READ", kQuery, Takes::Nothing, Scope::Own, &Handlers::measureVolts},
    {"MEASure:RAW", kQuery, Takes::Nothing, Scope::Own, &Handlers::measureRaw},
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
        return command.takes == Takes::Extreme ? NoError : MissingParameter;
    }
    if (parameters.size() > 1) {
        return ParameterNotAllowed;
    }
    const Parameter& p = parameters.front();
    const bool number = p.kind == DataKind::Decimal || p.kind == DataKind::NonDecimal;
    switch (command.takes) {
    case Takes::Number:
    case Takes::Volts:
        if (!number && p.kind != DataKind::Character) {
            return DataTypeError;
        }
        break;
    case Takes::Mode:
        if (p.kind != DataKind::Character && p.kind != DataKind::Decimal) {
            return DataTypeError;
        }
        return NoError; // 1k and 100k are names here, suffix and all
    case Takes::Choice:
    case Takes::Extreme:
        if (p.kind != DataKind::Character) {
            return DataTypeError;
        }
        break;
    case Takes::Nothing:
        break;
    }
    if (p.suffix.empty()) {
        return NoError;
    }
    if (command.takes != Takes::Volts) {
        return SuffixNotAllowed;
    }
    return equalsIgnoringCase(p.suffix, "V") || equalsIgnoringCase(p.suffix, "MV") ? NoError
                                                                                   : InvalidSuffix;
}

void Handlers::recordFailure(Call c) {
    try {
        throw;
    } catch (const UnitError& e) {
        c.in.reportError(c.client, e.code);
    } catch (const BoardError& e) {
        c.in.reportError(c.client, e.code() == HardwareMissing ? HardwareMissing : HardwareError,
                         e.what());
    } catch (const std::exception& e) {
        c.in.reportError(c.client, DeviceSpecificError, e.what());
    } catch (...) {
        c.in.reportError(c.client, DeviceSpecificError);
    }
}

Instrument::Instrument(ControlState& state, InstrumentBoard& board, std::string version)
    : state_(state), board_(board), version_(std::move(version)),
      referenceVolts_(board::kDefaultReferenceVolts) {}

std::string Instrument::execute(std::string_view message, ClientStatus& client) {
    const ParsedMessage parsed = parse(message);
    const Handlers::Call call{*this, client};
    std::string response;
    for (const ProgramUnit& unit : parsed.units) {
        const Handlers::Command* command = Handlers::find(unit);
        if (!command) {
            reportError(client, UndefinedHeader);
            return response;
        }
        if (const int error = Handlers::checkParameters(*command, unit)) {
            reportError(client, error);
            return response;
        }
        if (command->scope == Handlers::Scope::Shared && lockHolder_ && lockHolder_ != &client) {
            queueError(client, ExecutionError, "Execution error; locked by another connection");
            continue;
        }
        try {
            const Parameter* parameter =
                unit.parameters.empty() ? nullptr : &unit.parameters.front();
            if (const auto answer = command->run(call, parameter)) {
                if (!response.empty()) {
                    response += ';';
                }
                response += *answer;
            }
        } catch (...) {
            Handlers::recordFailure(call);
        }
    }
    if (parsed.error) {
        reportError(client, parsed.error);
    }
    return response;
}

void Instrument::reportError(ClientStatus& client, int code, std::string_view detail) {
    scpi::reportError(client, code, detail);
}

void Instrument::forget(const ClientStatus& client) {
    if (lockHolder_ == &client) {
        lockHolder_ = nullptr;
    }
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

} // namespace qd::serve

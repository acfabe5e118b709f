#include "simmeter/SimMeter.h"

#include "boardmodel/ConverterModel.h"
#include "scpi/Errors.h"
#include "scpi/Parser.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

namespace qd::simmeter {

namespace {

using scpi::DataKind;
using scpi::Parameter;

struct UnitError {
    int code;
    std::string detail;
};

constexpr double kOverload = 9.9e37; // what a meter answers beyond its range
constexpr double kMinNplc = 0.02, kMaxNplc = 100;
constexpr int kMaxSamples = 1000;

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%+.8E", value);
    return text;
}

bool isName(const Parameter& p, std::string_view longForm) {
    return p.kind == DataKind::Character && scpi::matchesMnemonic(longForm, p.text);
}

// A number, or MINimum, MAXimum or DEFault; within [low, high] or -222.
double numeric(const Parameter& p, double low, double high, double byDefault) {
    if (isName(p, "MINimum")) {
        return low;
    }
    if (isName(p, "MAXimum")) {
        return high;
    }
    if (isName(p, "DEFault")) {
        return byDefault;
    }
    if (p.kind != DataKind::Decimal || !p.suffix.empty()) {
        throw UnitError{
            p.kind == DataKind::Character ? scpi::IllegalParameterValue : scpi::DataTypeError, {}};
    }
    if (!(p.number >= low && p.number <= high)) {
        throw UnitError{scpi::DataOutOfRange, {}};
    }
    return p.number;
}

bool boolean(const Parameter& p) {
    if (isName(p, "ON") || (p.kind == DataKind::Decimal && p.number == 1)) {
        return true;
    }
    if (isName(p, "OFF") || (p.kind == DataKind::Decimal && p.number == 0)) {
        return false;
    }
    throw UnitError{scpi::IllegalParameterValue, {}};
}

} // namespace

struct MeterCommands {
    using Answer = std::optional<std::string>;
    using Run = Answer (*)(SimMeter&, scpi::ClientStatus&, const std::vector<Parameter>&);
    struct Command {
        std::string_view header;
        bool query;
        std::size_t fewest, most; // parameters
        Run run;
        unsigned dialects; // the Dialect bits of the families that have it
    };

    static Answer identify(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        const Family& f = m.family_;
        if (f.maker.empty()) {
            return "QD1600,Simulated DMM,0," + m.version_;
        }
        return std::string(f.maker) + "," + std::string(f.model) + "," + std::string(f.serial) +
               "," + std::string(f.firmware);
    }
    static Answer calibrationDate(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        if (m.fault_.noCalibrationDate) {
            throw UnitError{scpi::UndefinedHeader, {}};
        }
        return std::string(m.family_.calibrationDate);
    }
    static Answer reset(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        m.reset();
        return std::nullopt;
    }
    static Answer clear(SimMeter&, scpi::ClientStatus& c, const std::vector<Parameter>&) {
        c.errors.clear();
        c.eventStatus = 0;
        return std::nullopt;
    }
    static Answer complete(SimMeter&, scpi::ClientStatus&, const std::vector<Parameter>&) {
        return "1";
    }
    static Answer error(SimMeter&, scpi::ClientStatus& c, const std::vector<Parameter>&) {
        return scpi::takeError(c);
    }
    // CONFigure presets what a measurement of one reading needs.
    static Answer configure(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        if (!p.empty() && !isName(p[0], "DEFault")) {
            m.range_ = m.rangeFor(numeric(p[0], m.lowest(), m.highest(), 10));
            m.autoRange_ = false;
        } else {
            m.autoRange_ = true;
        }
        if (p.size() > 1 && !isName(p[1], "DEFault")) {
            numeric(p[1], 0, 1000, 0); // the resolution follows from the NPLC here
        }
        m.samples_ = 1;
        m.busTrigger_ = false;
        return std::nullopt;
    }
    static Answer measure(SimMeter& m, scpi::ClientStatus& c, const std::vector<Parameter>& p) {
        configure(m, c, p);
        return m.answered(m.readings());
    }
    static Answer function(SimMeter&, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        const std::string_view text = p[0].kind == DataKind::String && p[0].text.size() >= 2
                                          ? p[0].text.substr(1, p[0].text.size() - 2)
                                          : std::string_view();
        if (p[0].kind != DataKind::String) {
            throw UnitError{scpi::DataTypeError, {}};
        }
        if (!scpi::equalsIgnoringCase(text, "VOLT") && !scpi::equalsIgnoringCase(text, "VOLT:DC") &&
            !scpi::equalsIgnoringCase(text, "VOLTage") &&
            !scpi::equalsIgnoringCase(text, "VOLTage:DC")) {
            throw UnitError{scpi::IllegalParameterValue, "DC volts only"};
        }
        return std::nullopt;
    }
    static Answer setRange(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        m.range_ = m.rangeFor(numeric(p[0], m.lowest(), m.highest(), 10));
        m.autoRange_ = false;
        return std::nullopt;
    }
    // Rigol's: the range as its place in the list, 0 the lowest.
    static Answer setRangeByIndex(SimMeter& m, scpi::ClientStatus&,
                                  const std::vector<Parameter>& p) {
        const auto& ranges = m.family_.ranges;
        const double n = numeric(p[0], 0, static_cast<double>(ranges.size() - 1), 1);
        if (n != std::floor(n)) {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        m.range_ = ranges[static_cast<std::size_t>(n)];
        m.autoRange_ = false;
        return std::nullopt;
    }
    static Answer functionDcVolts(SimMeter&, scpi::ClientStatus&, const std::vector<Parameter>&) {
        return std::nullopt;
    }
    static Answer range(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        return number(m.range_);
    }
    static Answer setAutoRange(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        m.autoRange_ = boolean(p[0]);
        return std::nullopt;
    }
    static Answer setNplc(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        m.nplc_ = numeric(p[0], kMinNplc, kMaxNplc, 10);
        return std::nullopt;
    }
    static Answer nplc(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        return number(m.nplc_);
    }
    static Answer setAutoZero(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        m.autoZero_ = boolean(p[0]);
        return std::nullopt;
    }
    static Answer trigger(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        if (isName(p[0], "BUS")) {
            m.busTrigger_ = true;
        } else if (isName(p[0], "IMMediate")) {
            m.busTrigger_ = false;
        } else {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        return std::nullopt;
    }
    static Answer setSamples(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>& p) {
        const double n = numeric(p[0], 1, kMaxSamples, 1);
        if (n != std::floor(n)) {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        m.samples_ = static_cast<int>(n);
        return std::nullopt;
    }
    static Answer samples(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        return std::to_string(m.samples_);
    }
    static Answer read(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        return m.answered(m.readings());
    }
    // Keithley's count: READ? takes this many and answers the last.
    static Answer setCount(SimMeter& m, scpi::ClientStatus& c, const std::vector<Parameter>& p) {
        return setSamples(m, c, p);
    }
    static Answer initiate(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        m.memory_.clear();
        const std::string taken = m.readings();
        m.memory_.push_back(taken);
        return std::nullopt;
    }
    static Answer fetch(SimMeter& m, scpi::ClientStatus&, const std::vector<Parameter>&) {
        if (m.memory_.empty()) {
            throw UnitError{-230, "no readings: INITiate first"}; // data corrupt or stale
        }
        return m.memory_.front();
    }
};

namespace {

constexpr bool kQuery = true, kSet = false;
using M = MeterCommands;

// Which family has which command, from each maker's programming manual;
// Scpi99 is the generic meter, as it always was.
constexpr unsigned G = Scpi99, K = Truevolt, T = Keithley, R = Rigol, S = Siglent;
constexpr unsigned kAll = G | K | T | R | S;

constexpr MeterCommands::Command kCommands[] = {
    {"*IDN", kQuery, 0, 0, &M::identify, kAll},
    {"*RST", kSet, 0, 0, &M::reset, kAll},
    {"*CLS", kSet, 0, 0, &M::clear, kAll},
    {"*OPC", kQuery, 0, 0, &M::complete, kAll},
    {"SYSTem:ERRor[:NEXT]", kQuery, 0, 0, &M::error, kAll},
    {"CALibration:DATE", kQuery, 0, 0, &M::calibrationDate, K},
    {"CONFigure[:VOLTage][:DC]", kSet, 0, 2, &M::configure, G | K | S},
    {"MEASure[:VOLTage][:DC]", kQuery, 0, 2, &M::measure, G | K | S},
    {"[SENSe]:FUNCtion", kSet, 1, 1, &M::function, G | K | T | S},
    {"[SENSe]:VOLTage[:DC]:RANGe[:UPPer]", kSet, 1, 1, &M::setRange, G | K | T | S},
    {"[SENSe]:VOLTage[:DC]:RANGe[:UPPer]", kQuery, 0, 0, &M::range, G | K | T | S},
    {"[SENSe]:VOLTage[:DC]:RANGe:AUTO", kSet, 1, 1, &M::setAutoRange, G | K | T | S},
    {"[SENSe]:VOLTage[:DC]:NPLCycles", kSet, 1, 1, &M::setNplc, kAll},
    {"[SENSe]:VOLTage[:DC]:NPLCycles", kQuery, 0, 0, &M::nplc, kAll},
    {"[SENSe]:VOLTage[:DC]:ZERO:AUTO", kSet, 1, 1, &M::setAutoZero, G | K},
    {"[SENSe]:VOLTage[:DC]:AZERo[:STATe]", kSet, 1, 1, &M::setAutoZero, T},
    {"[SENSe]:VOLTage[:DC]:AZ[:STATe]", kSet, 1, 1, &M::setAutoZero, S},
    {"[SENSe]:COUNt", kSet, 1, 1, &M::setCount, T},
    {"TRIGger:SOURce", kSet, 1, 1, &M::trigger, G | K | S},
    {"SAMPle:COUNt", kSet, 1, 1, &M::setSamples, G | K | S},
    {"SAMPle:COUNt", kQuery, 0, 0, &M::samples, G | K | S},
    {"READ", kQuery, 0, 0, &M::read, G | K | T | S},
    {"INITiate", kSet, 0, 0, &M::initiate, G | K | S},
    {"FETCh", kQuery, 0, 0, &M::fetch, G | K | S},
    // Rigol's own: the function by name, the range by its place, and the
    // measurement's query to read.
    {"FUNCtion:VOLTage:DC", kSet, 0, 0, &M::functionDcVolts, R},
    {"MEASure:VOLTage:DC", kSet, 1, 1, &M::setRangeByIndex, R},
    {"MEASure:VOLTage:DC", kQuery, 0, 0, &M::read, R},
};

const MeterCommands::Command* find(const scpi::ProgramUnit& unit, Dialect dialect) {
    for (const auto& c : kCommands) {
        if ((c.dialects & dialect) != 0 && scpi::matchesCommand(c.header, unit) &&
            c.query == unit.query) {
            return &c;
        }
    }
    return nullptr;
}

} // namespace

SimMeter::SimMeter(Probe probe, Integrate integrate, std::string version, std::uint64_t seed,
                   const Family& family, Fault fault)
    : probe_(std::move(probe)), integrate_(std::move(integrate)), version_(std::move(version)),
      seed_(seed), family_(family), fault_(fault) {
    reset();
}

double SimMeter::rangeFor(double volts) const {
    for (const double r : family_.ranges) {
        if (volts <= r) {
            return r;
        }
    }
    throw UnitError{scpi::DataOutOfRange, {}};
}

void SimMeter::reset() {
    range_ = rangeFor(10);
    autoRange_ = true;
    nplc_ = 10;
    autoZero_ = true;
    samples_ = 1;
    busTrigger_ = false;
    memory_.clear();
}

std::string SimMeter::reading() {
    integrate_(nplc_ / 50);
    const std::uint64_t index = index_++;
    double volts = probe_(index);
    volts += kNoiseMicrovolts * 1e-6 / std::sqrt(nplc_) *
             boardmodel::normalDeviate(seed_, boardmodel::kMeterOwnStream, index);
    const double range = autoRange_ ? rangeFor(std::min(std::abs(volts), highest())) : range_;
    if (std::abs(volts) > range * 1.2) {
        return number(kOverload);
    }
    // 6½ digits: the range in steps of a ten-millionth.
    const double step = range * 1e-7;
    return number(std::round(volts / step) * step);
}

std::string SimMeter::answered(std::string readings) {
    // Once, the answer before this one (or this one) a second time, right
    // behind it in the same write.
    std::string again;
    if (fault_.staleAfter && index_ >= *fault_.staleAfter && !lastReadings_.empty()) {
        fault_.staleAfter.reset();
        again = "\n" + lastReadings_;
    } else if (fault_.duplicateAfter && index_ >= *fault_.duplicateAfter) {
        fault_.duplicateAfter.reset();
        again = "\n" + readings;
    }
    lastReadings_ = readings;
    return readings + again;
}

std::string SimMeter::readings() {
    if (busTrigger_) {
        throw UnitError{-214, "TRIGger:SOURce BUS waits for a trigger this meter never gets"};
    }
    std::string out;
    for (int i = 0; i < samples_; ++i) {
        const std::string one = reading();
        if (family_.readsAll) {
            out += (i == 0 ? "" : ",") + one;
        } else {
            out = one;
        }
    }
    return out;
}

void SimMeter::reportError(scpi::ClientStatus& client, int code, std::string_view detail) {
    scpi::reportError(client, code, detail);
}

std::string SimMeter::execute(std::string_view message, scpi::ClientStatus& client) {
    const scpi::ParsedMessage parsed = scpi::parse(message);
    std::string response;
    for (const scpi::ProgramUnit& unit : parsed.units) {
        const MeterCommands::Command* command = find(unit, family_.dialect);
        if (!command) {
            reportError(client, scpi::UndefinedHeader);
            return response;
        }
        const std::size_t n = unit.parameters.size();
        if (n < command->fewest || n > command->most) {
            reportError(client,
                        n < command->fewest ? scpi::MissingParameter : scpi::ParameterNotAllowed);
            return response;
        }
        try {
            if (const auto answer = command->run(*this, client, unit.parameters)) {
                response += (response.empty() ? "" : ";") + *answer;
            }
        } catch (const UnitError& e) {
            reportError(client, e.code, e.detail);
        } catch (const std::exception& e) {
            reportError(client, scpi::HardwareError, e.what());
        }
    }
    if (parsed.error) {
        reportError(client, parsed.error);
    }
    return response;
}

} // namespace qd::simmeter

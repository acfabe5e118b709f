#include "simscope/SimScope.h"

#include "scpi/Errors.h"
#include "scpi/Parser.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <thread>

namespace qd::simscope {

namespace {

using scpi::DataKind;
using scpi::Parameter;

struct UnitError {
    int code;
    std::string detail;
};

// How long *OPC? waits for an armed acquisition's trigger at most, and how
// often it looks at the board meanwhile.
constexpr std::chrono::seconds kOpcWait{10};
constexpr std::chrono::microseconds kLookEvery{500};

std::string formatted(const char* format, double value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

bool isName(const Parameter& p, std::string_view longForm) {
    return p.kind == DataKind::Character && scpi::matchesMnemonic(longForm, p.text);
}

// A number with, optionally, its unit and a prefix before it (2US, 0.1V,
// 500MV, 1.5E-6S); within [low, high] or -222.
double number(const Parameter& p, std::string_view unit, double low, double high) {
    if (p.kind != DataKind::Decimal) {
        throw UnitError{scpi::DataTypeError, {}};
    }
    std::string_view suffix = p.suffix;
    double factor = 1;
    if (!suffix.empty() && scpi::equalsIgnoringCase(suffix.substr(suffix.size() - 1), unit)) {
        suffix.remove_suffix(1);
    }
    if (!suffix.empty()) {
        constexpr std::array<std::pair<std::string_view, double>, 5> kPrefixes = {
            {{"N", 1e-9}, {"U", 1e-6}, {"M", 1e-3}, {"K", 1e3}, {"MA", 1e6}}};
        const auto* found = std::find_if(kPrefixes.begin(), kPrefixes.end(), [&](const auto& k) {
            return scpi::equalsIgnoringCase(k.first, suffix);
        });
        if (found == kPrefixes.end()) {
            throw UnitError{scpi::InvalidSuffix, {}};
        }
        factor = found->second;
    }
    const double value = p.number * factor;
    if (!(value >= low * (1 - 1e-12) && value <= high * (1 + 1e-12))) {
        throw UnitError{scpi::DataOutOfRange, {}};
    }
    return value;
}

int whole(const Parameter& p, double low, double high) {
    const double n = number(p, "", low, high);
    if (n != std::floor(n)) {
        throw UnitError{scpi::IllegalParameterValue, {}};
    }
    return static_cast<int>(n);
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

// The smallest sample interval of the 1, 2, 2.5, 4, 5 sequence that is at
// least `seconds`, as real scopes step their sample rates.
double intervalAtLeast(double seconds) {
    const double decade = std::pow(10.0, std::floor(std::log10(seconds)));
    for (const double m : {1.0, 2.0, 2.5, 4.0, 5.0, 10.0}) {
        if (m * decade >= seconds * (1 - 1e-9)) {
            return m * decade;
        }
    }
    return 10 * decade;
}

} // namespace

struct ScopeCommands {
    using Answer = std::optional<std::string>;
    using Params = std::vector<Parameter>;
    using Run = Answer (*)(SimScope&, scpi::ClientStatus&, const Params&, bool query);
    struct Command {
        std::string_view header;
        bool query;
        std::size_t fewest, most; // parameters
        Run run;
        unsigned dialects; // the Dialect bits of the families that have it
    };

    static bool is(const SimScope& s, Dialect d) { return s.family_.dialect == d; }

    // A number as the family answers it.
    static std::string answer(const SimScope& s, double value) {
        switch (s.family_.dialect) {
        case InfiniiVision:
            return formatted("%+.8E", value);
        case Ds1000z:
            return formatted("%.6e", value);
        default:
            return formatted("%.4E", value);
        }
    }
    // Siglent answers with the header and the unit.
    static std::string siglent(std::string_view header, double value, std::string_view unit) {
        return std::string(header) + " " + formatted("%.2E", value) + std::string(unit);
    }

    static Answer identify(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        const Family& f = s.family_;
        return std::string(f.maker) + "," + std::string(f.model) + "," + std::string(f.serial) +
               "," + std::string(f.firmware);
    }
    static Answer reset(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        s.reset();
        return std::nullopt;
    }
    static Answer clear(SimScope&, scpi::ClientStatus& c, const Params&, bool) {
        c.errors.clear();
        c.eventStatus = 0;
        return std::nullopt;
    }
    static Answer complete(SimScope& s, scpi::ClientStatus& c, const Params&, bool query) {
        s.waitUntilDone();
        if (!query) {
            c.eventStatus |= scpi::kOperationCompleteBit;
            return std::nullopt;
        }
        return "1";
    }
    static Answer eventStatus(SimScope& s, scpi::ClientStatus& c, const Params&, bool) {
        const int value = c.eventStatus;
        c.eventStatus = 0;
        return is(s, InfiniiVision) ? "+" + std::to_string(value) : std::to_string(value);
    }
    static Answer error(SimScope&, scpi::ClientStatus& c, const Params&, bool) {
        return scpi::takeError(c);
    }
    static Answer accept(SimScope&, scpi::ClientStatus&, const Params&, bool) {
        return std::nullopt;
    }

    static Answer scale(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return is(s, Siglent) ? siglent("C1:VDIV", s.scale_, "V") : answer(s, s.scale_);
        }
        s.scale_ = number(p[0], "V", 500e-6, 10);
        return std::nullopt;
    }
    // Offsets as far as the front end reaches: ±6 V below 100 mV/div, ±20 V
    // from there.
    static Answer offset(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return is(s, Siglent) ? siglent("C1:OFST", s.offset_, "V") : answer(s, s.offset_);
        }
        const double reach = s.scale_ < 0.1 ? 6 : 20;
        s.offset_ = number(p[0], "V", -reach, reach);
        return std::nullopt;
    }
    static Answer position(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return answer(s, s.position_);
        }
        s.position_ = number(p[0], "", -5, 5);
        return std::nullopt;
    }
    static Answer bandwidth(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        const bool limited = s.bandwidthLimit_;
        if (query) {
            switch (s.family_.dialect) {
            case Ds1000z:
                return limited ? "20M" : "OFF";
            case Tektronix:
                return answer(s, limited ? kBandwidthLimitHz : s.limits_.bandwidthHz);
            case Siglent:
                return limited ? "BWL C1,ON" : "BWL C1,OFF";
            default:
                return limited ? "1" : "0";
            }
        }
        const Parameter& last = p.back();
        if (isName(last, "20M")) {
            s.bandwidthLimit_ = true;
        } else if (isName(last, "FULl")) {
            s.bandwidthLimit_ = false;
        } else if (is(s, Tektronix) && last.kind == DataKind::Decimal) {
            s.bandwidthLimit_ = number(last, "HZ", 1e6, 1e12) < s.limits_.bandwidthHz;
        } else {
            s.bandwidthLimit_ = boolean(last);
        }
        return std::nullopt;
    }

    static Answer timeScale(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return is(s, Siglent) ? siglent("TDIV", s.timeScale_, "S") : answer(s, s.timeScale_);
        }
        s.timeScale_ = number(p[0], "S", 1e-9, 10);
        return std::nullopt;
    }
    // The time at InfiniiVision's reference, at DS1000Z's and Siglent's
    // centre; Tektronix's percent of the record before the trigger.
    static Answer timePosition(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return is(s, Siglent) ? siglent("TRDL", s.timePosition_, "S")
                                  : answer(s, s.timePosition_);
        }
        s.timePosition_ = is(s, Tektronix) ? number(p[0], "", 0, 100) : number(p[0], "S", -1, 1);
        return std::nullopt;
    }
    static Answer reference(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return s.reference_ == 0 ? "LEFT" : s.reference_ == 1 ? "RIGH" : "CENT";
        }
        if (isName(p[0], "LEFT")) {
            s.reference_ = 0;
        } else if (isName(p[0], "CENTer")) {
            s.reference_ = 0.5;
        } else if (isName(p[0], "RIGHt")) {
            s.reference_ = 1;
        } else {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        return std::nullopt;
    }
    static Answer record(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return is(s, InfiniiVision) ? "+" + std::to_string(s.setup().points)
                                        : std::to_string(s.setup().points);
        }
        s.record_ = isName(p[0], "AUTO") || isName(p[0], "MAXimum")
                        ? 0
                        : whole(p[0], 100, static_cast<double>(s.limits_.recordLength));
        return std::nullopt;
    }
    static Answer sampleRate(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        const double rate = 1 / s.setup().interval;
        return is(s, Siglent) ? siglent("SARA", rate, "Sa") : answer(s, rate);
    }
    static Answer sampleCount(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        return siglent("SANU", s.setup().points, "pts");
    }

    static Answer acquireType(SimScope& s, scpi::ClientStatus&, const Params& p, bool query);
    static void setAverages(SimScope& s, const Parameter& p) {
        const int n = whole(p, 2, 65536);
        if (s.family_.powersOfTwo && (n & (n - 1)) != 0) {
            throw UnitError{scpi::IllegalParameterValue, "a power of two"};
        }
        s.averages_ = n;
    }
    static Answer averages(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return is(s, InfiniiVision) ? "+" + std::to_string(s.averages_)
                                        : std::to_string(s.averages_);
        }
        setAverages(s, p[0]);
        return std::nullopt;
    }

    static Answer single(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        s.arm(false);
        return std::nullopt;
    }
    static Answer digitize(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        s.arm(true);
        return std::nullopt;
    }
    static Answer triggerEvent(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        const bool was = s.triggered_;
        s.triggered_ = false;
        return is(s, Siglent) ? (was ? "INR 1" : "INR 0") : (was ? "+1" : "+0");
    }
    static bool running(const SimScope& s) {
        return s.state_ == SimScope::State::Armed || s.state_ == SimScope::State::Acquiring;
    }
    static Answer operation(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        return running(s) ? "+8" : "+0";
    }
    static Answer triggerStatus(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        using State = SimScope::State;
        const bool armed = s.state_ == State::Armed, taking = s.state_ == State::Acquiring;
        switch (s.family_.dialect) {
        case Ds1000z:
            return armed ? "WAIT" : taking ? "TD" : "STOP";
        case Tektronix:
            return armed ? "READY" : taking ? "TRIGGER" : "SAVE";
        default:
            return armed ? "SAST Ready" : taking ? "SAST Trig'd" : "SAST Stop";
        }
    }
    static Answer acquireState(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return running(s) ? "1" : "0";
        }
        if (isName(p[0], "RUN") || isName(p[0], "ON") ||
            (p[0].kind == DataKind::Decimal && p[0].number == 1)) {
            s.arm(true);
        } else if (isName(p[0], "STOP") || isName(p[0], "OFF") ||
                   (p[0].kind == DataKind::Decimal && p[0].number == 0)) {
            s.state_ = SimScope::State::Stopped;
        } else {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        return std::nullopt;
    }
    static Answer acquisitions(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
        return std::to_string(s.completed_);
    }
    static Answer triggerMode(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return running(s) ? "TRMD SINGLE" : "TRMD STOP";
        }
        if (isName(p[0], "STOP")) {
            s.state_ = SimScope::State::Stopped;
        } else if (isName(p[0], "SINGLE") || isName(p[0], "NORM") || isName(p[0], "AUTO")) {
            s.arm(false);
        } else {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        return std::nullopt;
    }

    static Answer format(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return s.ascii_ ? "ASC" : s.word_ ? "WORD" : "BYTE";
        }
        s.ascii_ = is(s, Ds1000z) && isName(p[0], "ASCii");
        if (!s.ascii_ && !isName(p[0], "BYTE") && !isName(p[0], "WORD")) {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        s.word_ = isName(p[0], "WORD");
        return std::nullopt;
    }
    static Answer unsignedCodes(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return s.signed_ ? "0" : "1";
        }
        s.signed_ = !boolean(p[0]);
        return std::nullopt;
    }
    static Answer byteOrder(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return s.lsbFirst_ ? "LSBF" : "MSBF";
        }
        if (!isName(p[0], "LSBFirst") && !isName(p[0], "MSBFirst")) {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        s.lsbFirst_ = isName(p[0], "LSBFirst");
        return std::nullopt;
    }
    static Answer encoding(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return s.ascii_    ? "ASCII"
                   : s.signed_ ? (s.lsbFirst_ ? "SRIBINARY" : "RIBINARY")
                               : (s.lsbFirst_ ? "SRPBINARY" : "RPBINARY");
        }
        const bool ascii = isName(p[0], "ASCIi");
        const bool ri = isName(p[0], "RIBinary"), sri = isName(p[0], "SRIbinary");
        const bool rp = isName(p[0], "RPBinary"), srp = isName(p[0], "SRPbinary");
        if (!(ascii || ri || sri || rp || srp)) {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
        s.ascii_ = ascii;
        s.signed_ = ri || sri || ascii;
        s.lsbFirst_ = sri || srp;
        return std::nullopt;
    }
    static Answer dataWidth(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return std::to_string(s.width());
        }
        s.word_ = whole(p[0], 1, 2) == 2;
        return std::nullopt;
    }
    static Answer start(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return std::to_string(s.start_);
        }
        s.start_ = static_cast<std::size_t>(whole(p[0], 1, 1e9));
        return std::nullopt;
    }
    static Answer stop(SimScope& s, scpi::ClientStatus&, const Params& p, bool query) {
        if (query) {
            return std::to_string(s.stop_ == 0 ? s.setup().points : s.stop_);
        }
        s.stop_ = static_cast<std::size_t>(whole(p[0], 1, 1e9));
        return std::nullopt;
    }
    static Answer setupTransfer(SimScope& s, scpi::ClientStatus&, const Params& p, bool query);

    static Answer preamble(SimScope& s, scpi::ClientStatus&, const Params&, bool);
    static Answer outpre(SimScope& s, scpi::ClientStatus&, const Params&, bool);
    static Answer outpreField(SimScope& s, const std::string& field);
    static Answer outpreOf(SimScope& s, const scpi::ProgramUnit& unit);
    static Answer data(SimScope& s, scpi::ClientStatus&, const Params&, bool);
    static Answer siglentData(SimScope& s, scpi::ClientStatus& c, const Params& p, bool query) {
        if (!isName(p[0], "DAT2")) {
            throw UnitError{scpi::IllegalParameterValue, "DAT2 only"};
        }
        return "C1:WF DAT2," + *data(s, c, p, query);
    }
};

namespace {

using M = ScopeCommands;
constexpr bool kSet = false, kQuery = true;
constexpr unsigned I = InfiniiVision, D = Ds1000z, T = Tektronix, S = Siglent;
constexpr unsigned kAll = I | D | T | S;

// Each command with the families whose manuals have it.
constexpr M::Command kCommands[] = {
    {"*IDN", kQuery, 0, 0, &M::identify, kAll},
    {"*RST", kSet, 0, 0, &M::reset, kAll},
    {"*CLS", kSet, 0, 0, &M::clear, kAll},
    {"*OPC", kQuery, 0, 0, &M::complete, kAll},
    {"*OPC", kSet, 0, 0, &M::complete, kAll},
    {"*ESR", kQuery, 0, 0, &M::eventStatus, kAll},
    {"SYSTem:ERRor[:NEXT]", kQuery, 0, 0, &M::error, kAll},
    // Vertical.
    {"CHANnel:SCALe", kSet, 1, 1, &M::scale, I | D},
    {"CHANnel:SCALe", kQuery, 0, 0, &M::scale, I | D},
    {"CHANnel:OFFSet", kSet, 1, 1, &M::offset, I | D},
    {"CHANnel:OFFSet", kQuery, 0, 0, &M::offset, I | D},
    {"CHANnel:BWLimit", kSet, 1, 1, &M::bandwidth, I | D},
    {"CHANnel:BWLimit", kQuery, 0, 0, &M::bandwidth, I | D},
    {"CHANnel:COUPling", kSet, 1, 1, &M::accept, I | D},
    {"CHANnel:DISPlay", kSet, 1, 1, &M::accept, I | D},
    {"CH:SCAle", kSet, 1, 1, &M::scale, T},
    {"CH:SCAle", kQuery, 0, 0, &M::scale, T},
    {"CH:OFFSet", kSet, 1, 1, &M::offset, T},
    {"CH:OFFSet", kQuery, 0, 0, &M::offset, T},
    {"CH:POSition", kSet, 1, 1, &M::position, T},
    {"CH:POSition", kQuery, 0, 0, &M::position, T},
    {"CH:BANdwidth", kSet, 1, 1, &M::bandwidth, T},
    {"CH:BANdwidth", kQuery, 0, 0, &M::bandwidth, T},
    {"CH:COUPling", kSet, 1, 1, &M::accept, T},
    {"C:VDIV", kSet, 1, 1, &M::scale, S},
    {"C:VDIV", kQuery, 0, 0, &M::scale, S},
    {"C:OFST", kSet, 1, 1, &M::offset, S},
    {"C:OFST", kQuery, 0, 0, &M::offset, S},
    {"C:TRA", kSet, 1, 1, &M::accept, S},
    {"C:CPL", kSet, 1, 1, &M::accept, S},
    {"BWL", kSet, 2, 2, &M::bandwidth, S},
    {"BWL", kQuery, 0, 0, &M::bandwidth, S},
    // Horizontal.
    {"TIMebase:SCALe", kSet, 1, 1, &M::timeScale, I},
    {"TIMebase:SCALe", kQuery, 0, 0, &M::timeScale, I},
    {"TIMebase:POSition", kSet, 1, 1, &M::timePosition, I},
    {"TIMebase:POSition", kQuery, 0, 0, &M::timePosition, I},
    {"TIMebase:REFerence", kSet, 1, 1, &M::reference, I},
    {"TIMebase:REFerence", kQuery, 0, 0, &M::reference, I},
    {"TIMebase[:MAIN]:SCALe", kSet, 1, 1, &M::timeScale, D},
    {"TIMebase[:MAIN]:SCALe", kQuery, 0, 0, &M::timeScale, D},
    {"TIMebase[:MAIN]:OFFSet", kSet, 1, 1, &M::timePosition, D},
    {"TIMebase[:MAIN]:OFFSet", kQuery, 0, 0, &M::timePosition, D},
    {"HORizontal:SCAle", kSet, 1, 1, &M::timeScale, T},
    {"HORizontal:SCAle", kQuery, 0, 0, &M::timeScale, T},
    {"HORizontal:POSition", kSet, 1, 1, &M::timePosition, T},
    {"HORizontal:POSition", kQuery, 0, 0, &M::timePosition, T},
    {"HORizontal:RECOrdlength", kSet, 1, 1, &M::record, T},
    {"HORizontal:RECOrdlength", kQuery, 0, 0, &M::record, T},
    {"TDIV", kSet, 1, 1, &M::timeScale, S},
    {"TDIV", kQuery, 0, 0, &M::timeScale, S},
    {"TRDL", kSet, 1, 1, &M::timePosition, S},
    {"TRDL", kQuery, 0, 0, &M::timePosition, S},
    {"SARA", kQuery, 0, 0, &M::sampleRate, S},
    {"SANU", kQuery, 0, 1, &M::sampleCount, S},
    // Acquisition.
    {"ACQuire:TYPE", kSet, 1, 1, &M::acquireType, I | D},
    {"ACQuire:TYPE", kQuery, 0, 0, &M::acquireType, I | D},
    {"ACQuire:COUNt", kSet, 1, 1, &M::averages, I},
    {"ACQuire:COUNt", kQuery, 0, 0, &M::averages, I},
    {"ACQuire:AVERages", kSet, 1, 1, &M::averages, D},
    {"ACQuire:AVERages", kQuery, 0, 0, &M::averages, D},
    {"ACQuire:SRATe", kQuery, 0, 0, &M::sampleRate, I | D},
    {"ACQuire:POINts", kQuery, 0, 0, &M::record, I},
    {"ACQuire:MDEPth", kSet, 1, 1, &M::record, D},
    {"ACQuire:MDEPth", kQuery, 0, 0, &M::record, D},
    {"ACQuire:MODe", kSet, 1, 1, &M::acquireType, T},
    {"ACQuire:MODe", kQuery, 0, 0, &M::acquireType, T},
    {"ACQuire:NUMAVg", kSet, 1, 1, &M::averages, T},
    {"ACQuire:NUMAVg", kQuery, 0, 0, &M::averages, T},
    {"ACQuire:STOPAfter", kSet, 1, 1, &M::accept, T},
    {"ACQuire:STATE", kSet, 1, 1, &M::acquireState, T},
    {"ACQuire:STATE", kQuery, 0, 0, &M::acquireState, T},
    {"ACQuire:NUMACq", kQuery, 0, 0, &M::acquisitions, T},
    {"ACQW", kSet, 1, 2, &M::acquireType, S},
    {"ACQW", kQuery, 0, 0, &M::acquireType, S},
    // Trigger.
    {"TRIGger:MODE", kSet, 1, 1, &M::accept, I | D},
    {"TRIGger:EDGE:SOURce", kSet, 1, 1, &M::accept, I | D},
    {"TRIGger:EDGE:SLOPe", kSet, 1, 1, &M::accept, I | D},
    {"TRIGger:SWEep", kSet, 1, 1, &M::accept, I | D},
    {"SINGle", kSet, 0, 0, &M::single, I | D},
    {"DIGitize", kSet, 0, 1, &M::digitize, I},
    {"TER", kQuery, 0, 0, &M::triggerEvent, I},
    {"OPERegister[:EVENt]:CONDition", kQuery, 0, 0, &M::operation, I},
    {"TRIGger:STATus", kQuery, 0, 0, &M::triggerStatus, D},
    {"TRIGger[:A]:EDGE:SOUrce", kSet, 1, 1, &M::accept, T},
    {"TRIGger[:A]:MODe", kSet, 1, 1, &M::accept, T},
    {"TRIGger:STATE", kQuery, 0, 0, &M::triggerStatus, T},
    {"TRSE", kSet, 1, 8, &M::accept, S},
    {"TRMD", kSet, 1, 1, &M::triggerMode, S},
    {"TRMD", kQuery, 0, 0, &M::triggerMode, S},
    {"ARM", kSet, 0, 0, &M::single, S},
    {"SAST", kQuery, 0, 0, &M::triggerStatus, S},
    {"INR", kQuery, 0, 0, &M::triggerEvent, S},
    // Waveform.
    {"WAVeform:SOURce", kSet, 1, 1, &M::accept, I | D},
    {"WAVeform:FORMat", kSet, 1, 1, &M::format, I | D},
    {"WAVeform:FORMat", kQuery, 0, 0, &M::format, I | D},
    {"WAVeform:UNSigned", kSet, 1, 1, &M::unsignedCodes, I},
    {"WAVeform:UNSigned", kQuery, 0, 0, &M::unsignedCodes, I},
    {"WAVeform:BYTeorder", kSet, 1, 1, &M::byteOrder, I},
    {"WAVeform:BYTeorder", kQuery, 0, 0, &M::byteOrder, I},
    {"WAVeform:POINts:MODE", kSet, 1, 1, &M::accept, I},
    {"WAVeform:POINts", kSet, 1, 1, &M::record, I},
    {"WAVeform:POINts", kQuery, 0, 0, &M::record, I},
    {"WAVeform:MODE", kSet, 1, 1, &M::accept, D},
    {"WAVeform:STARt", kSet, 1, 1, &M::start, D},
    {"WAVeform:STARt", kQuery, 0, 0, &M::start, D},
    {"WAVeform:STOP", kSet, 1, 1, &M::stop, D},
    {"WAVeform:STOP", kQuery, 0, 0, &M::stop, D},
    {"WAVeform:PREamble", kQuery, 0, 0, &M::preamble, I | D},
    {"WAVeform:DATA", kQuery, 0, 0, &M::data, I | D},
    {"DATa:SOUrce", kSet, 1, 1, &M::accept, T},
    {"DATa:ENCdg", kSet, 1, 1, &M::encoding, T},
    {"DATa:ENCdg", kQuery, 0, 0, &M::encoding, T},
    {"DATa:WIDth", kSet, 1, 1, &M::dataWidth, T},
    {"DATa:WIDth", kQuery, 0, 0, &M::dataWidth, T},
    {"DATa:STARt", kSet, 1, 1, &M::start, T},
    {"DATa:STARt", kQuery, 0, 0, &M::start, T},
    {"DATa:STOP", kSet, 1, 1, &M::stop, T},
    {"DATa:STOP", kQuery, 0, 0, &M::stop, T},
    {"WFMOutpre", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:BYT_Nr", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:BIT_Nr", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:NR_Pt", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:XINcr", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:XZEro", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:PT_Off", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:YMUlt", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:YOFf", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:YZEro", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:BN_Fmt", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:BYT_Or", kQuery, 0, 0, &M::outpre, T},
    {"WFMOutpre:ENCdg", kQuery, 0, 0, &M::outpre, T},
    {"CURVe", kQuery, 0, 0, &M::data, T},
    {"WFSU", kSet, 2, 6, &M::setupTransfer, S},
    {"WFSU", kQuery, 0, 0, &M::setupTransfer, S},
    {"C:WF", kQuery, 1, 1, &M::siglentData, S},
};

// A typed node as the table names it: channel 1's suffix dropped
// (CHAN1, CH1, C1), as SCPI lets a suffix of 1 be left out; another
// channel's stays, and names nothing this scope has.
std::string_view withoutChannelOne(std::string_view node) {
    if (node.size() >= 2 && node.back() == '1' &&
        !(node[node.size() - 2] >= '0' && node[node.size() - 2] <= '9')) {
        node.remove_suffix(1);
    }
    return node;
}

const M::Command* find(const scpi::ProgramUnit& unit, Dialect dialect) {
    std::vector<std::string_view> nodes;
    for (const std::string_view node : unit.header) {
        nodes.push_back(unit.common ? node : withoutChannelOne(node));
    }
    for (const auto& c : kCommands) {
        if ((c.dialects & dialect) == 0 || c.query != unit.query) {
            continue;
        }
        const bool matches =
            c.header.front() == '*'
                ? unit.common && scpi::matchesMnemonic(c.header.substr(1), unit.header.front())
                : !unit.common && scpi::matchesHeader(c.header, nodes);
        if (matches) {
            return &c;
        }
    }
    return nullptr;
}

} // namespace

ScopeCommands::Answer ScopeCommands::acquireType(SimScope& s, scpi::ClientStatus&, const Params& p,
                                                 bool query) {
    using Mode = SimScope::Mode;
    if (query) {
        constexpr std::array<std::array<const char*, 4>, 4> kNames = {{
            {"NORM", "AVER", "HRES", "PEAK"},
            {"NORM", "AVER", "HRES", "PEAK"},
            {"SAMPLE", "AVERAGE", "HIRES", "PEAKDETECT"},
            {"ACQW SAMPLING", "ACQW AVERAGE,", "ACQW HIGH_RES", "ACQW PEAK_DETECT"},
        }};
        const std::size_t family = s.family_.dialect == InfiniiVision ? 0
                                   : s.family_.dialect == Ds1000z     ? 1
                                   : s.family_.dialect == Tektronix   ? 2
                                                                      : 3;
        std::string name = kNames[family][static_cast<std::size_t>(s.mode_)];
        return is(s, Siglent) && s.mode_ == Mode::Average ? name + std::to_string(s.averages_)
                                                          : name;
    }
    const Parameter& kind = p[0];
    if (isName(kind, "NORMal") || isName(kind, "SAMple") || isName(kind, "SAMPLING")) {
        s.mode_ = Mode::Normal;
    } else if (isName(kind, "AVERage") || isName(kind, "AVERages") || isName(kind, "AVErage")) {
        s.mode_ = Mode::Average;
    } else if (isName(kind, "HRESolution") || isName(kind, "HIRes") || isName(kind, "HIGH_RES")) {
        s.mode_ = Mode::HighResolution;
    } else if (isName(kind, "PEAK") || isName(kind, "PEAKdetect") || isName(kind, "PEAK_DETECT")) {
        s.mode_ = Mode::Peak;
    } else {
        throw UnitError{scpi::IllegalParameterValue, {}};
    }
    if (p.size() > 1) {
        setAverages(s, p[1]);
    }
    return std::nullopt;
}

ScopeCommands::Answer ScopeCommands::setupTransfer(SimScope& s, scpi::ClientStatus&,
                                                   const Params& p, bool query) {
    if (query) {
        return "WFSU SP," + std::to_string(s.sparsing_) + ",NP," +
               std::to_string(s.stop_ == 0 ? 0 : s.stop_) + ",FP," + std::to_string(s.firstPoint_);
    }
    if (p.size() % 2 != 0) {
        throw UnitError{scpi::MissingParameter, {}};
    }
    for (std::size_t i = 0; i < p.size(); i += 2) {
        const auto n = static_cast<std::size_t>(whole(p[i + 1], 0, 1e9));
        if (isName(p[i], "SP")) {
            s.sparsing_ = std::max<std::size_t>(n, 1);
        } else if (isName(p[i], "NP")) {
            s.stop_ = n; // a count of points here: 0 all
        } else if (isName(p[i], "FP")) {
            s.firstPoint_ = n;
        } else {
            throw UnitError{scpi::IllegalParameterValue, {}};
        }
    }
    return std::nullopt;
}

} // namespace qd::simscope

namespace qd::simscope {

ScopeCommands::Answer ScopeCommands::preamble(SimScope& s, scpi::ClientStatus&, const Params&,
                                              bool) {
    const Setup a = s.shown();
    const SimScope::Range range = s.transferRange();
    const double yIncrement = a.voltsPerDivision / s.levelsPerDivision();
    const int type = s.mode_ == SimScope::Mode::Average          ? 2
                     : s.mode_ == SimScope::Mode::HighResolution ? 3
                     : s.mode_ == SimScope::Mode::Peak           ? 1
                                                                 : 0;
    const int format = s.ascii_ ? 2 : s.width() == 2 ? 1 : 0;
    const double xOrigin = a.firstSeconds + static_cast<double>(range.first) * a.interval;
    const std::string count = std::to_string(a.averages);
    if (is(s, InfiniiVision)) {
        // volts = (code - yreference) * yincrement + yorigin
        return "+" + std::to_string(format) + ",+" + std::to_string(type) + ",+" +
               std::to_string(range.count) + ",+" + count + "," + answer(s, a.interval) + "," +
               answer(s, xOrigin) + ",+0," + answer(s, yIncrement) + "," +
               answer(s, a.centreVolts) + ",+" +
               std::to_string(static_cast<int>(s.signed_ ? 0 : s.middle()));
    }
    // volts = (code - yorigin - yreference) * yincrement
    return std::to_string(format) + "," + std::to_string(type) + "," + std::to_string(range.count) +
           "," + count + "," + answer(s, a.interval) + "," + answer(s, xOrigin) + ",0," +
           answer(s, yIncrement) + "," + answer(s, -a.centreVolts / yIncrement) + "," +
           std::to_string(128);
}

ScopeCommands::Answer ScopeCommands::outpreField(SimScope& s, const std::string& field) {
    const Setup a = s.shown();
    const SimScope::Range range = s.transferRange();
    const double levels = s.levelsPerDivision();
    // volts = (code - YOFf) * YMUlt + YZEro, the signed code 0 at the
    // screen's centre with POSition 0.
    const double yOff = s.position_ * levels + (s.signed_ ? 0 : s.middle());
    if (field == "BYT_NR") {
        return std::to_string(s.width());
    }
    if (field == "BIT_NR") {
        return std::to_string(8 * s.width());
    }
    if (field == "ENCDG") {
        return s.ascii_ ? "ASCII" : "BINARY";
    }
    if (field == "BN_FMT") {
        return s.signed_ ? "RI" : "RP";
    }
    if (field == "BYT_OR") {
        return s.lsbFirst_ ? "LSB" : "MSB";
    }
    if (field == "NR_PT") {
        return std::to_string(range.count);
    }
    if (field == "XINCR") {
        return answer(s, a.interval);
    }
    if (field == "XZERO") {
        return answer(s, a.firstSeconds + static_cast<double>(range.first) * a.interval);
    }
    if (field == "PT_OFF") {
        return "0";
    }
    if (field == "YMULT") {
        return answer(s, a.voltsPerDivision / levels);
    }
    if (field == "YOFF") {
        return answer(s, yOff);
    }
    return answer(s, s.offset_); // YZERO
}

ScopeCommands::Answer ScopeCommands::outpre(SimScope&, scpi::ClientStatus&, const Params&, bool) {
    return std::nullopt; // the table's mark: execute() answers with outpreOf()
}

ScopeCommands::Answer ScopeCommands::outpreOf(SimScope& s, const scpi::ProgramUnit& unit) {
    constexpr std::array<std::string_view, 12> kFields = {"BYT_Nr", "BIT_Nr", "ENCdg", "BN_Fmt",
                                                          "BYT_Or", "NR_Pt",  "XINcr", "XZEro",
                                                          "PT_Off", "YMUlt",  "YOFf",  "YZEro"};
    const auto upper = [](std::string_view field) {
        std::string out(field);
        for (char& c : out) {
            c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        }
        return out;
    };
    if (unit.header.size() > 1) {
        for (const std::string_view field : kFields) {
            if (scpi::matchesMnemonic(field, unit.header[1])) {
                return outpreField(s, upper(field));
            }
        }
        throw UnitError{scpi::UndefinedHeader, {}};
    }
    const Setup a = s.shown();
    std::string all;
    for (const std::string_view field : kFields) {
        all += (all.empty() ? "" : ";") + *outpreField(s, upper(field));
        if (field == "BYT_Or") {
            all += ";\"Ch1, DC coupling, " + formatted("%.3E", a.voltsPerDivision) + "V/div, " +
                   formatted("%.3E", s.timeScale_) + "s/div, " +
                   std::to_string(s.transferRange().count) + " points\"";
        } else if (field == "NR_Pt") {
            all += ";Y;\"s\"";
        } else if (field == "PT_Off") {
            all += ";\"V\"";
        }
    }
    return all;
}

ScopeCommands::Answer ScopeCommands::data(SimScope& s, scpi::ClientStatus&, const Params&, bool) {
    if (s.codes_.empty()) {
        throw UnitError{-230, "no acquisition yet"};
    }
    const std::string bytes = s.encoded();
    s.charge(static_cast<double>(bytes.size()) / kTransferBytesPerSecond);
    if (s.ascii_) {
        return is(s, Ds1000z) ? s.block(bytes) : bytes;
    }
    return s.block(bytes);
}

SimScope::SimScope(Look look, std::string version, std::uint64_t seed, const Family& family,
                   const Limits& limits, double timeScale)
    : look_(std::move(look)), version_(std::move(version)), seed_(seed), family_(family),
      limits_(limits), realTime_(timeScale) {
    // Uniform within the bounds, from observations no acquisition draws.
    const auto uniform = [seed](std::uint64_t index) {
        const double z = boardmodel::normalDeviate(seed, boardmodel::kScopeOwnStream, index);
        return std::erfc(-z / std::numbers::sqrt2) - 1; // -1 to 1
    };
    gain_ = 1 + limits_.gainErrorBound * uniform(~0ull);
    timebase_ = 1 + limits_.timebaseErrorBound * uniform(~1ull);
    reset();
}

void SimScope::reset() {
    scale_ = 1;
    offset_ = 0;
    position_ = 0;
    bandwidthLimit_ = false;
    timeScale_ = 1e-6;
    // Tektronix puts the trigger at the record's middle, the others at the
    // screen's centre.
    timePosition_ = family_.dialect == Tektronix ? 50 : 0;
    reference_ = 0.5;
    record_ = 0;
    mode_ = Mode::Normal;
    averages_ = family_.defaultAverages;
    word_ = false;
    lsbFirst_ = false;
    signed_ = family_.dialect == Tektronix || family_.dialect == Siglent;
    ascii_ = false;
    start_ = 1;
    stop_ = 0;
    sparsing_ = 1;
    firstPoint_ = 0;
    state_ = State::Stopped;
    opcWaits_ = false;
    triggered_ = false;
    codes_.clear();
}

double SimScope::centreVolts() const {
    switch (family_.dialect) {
    case Ds1000z:
    case Siglent:
        return -offset_; // their offset is added to the signal
    case Tektronix:
        return offset_ - position_ * scale_;
    default:
        return offset_;
    }
}

double SimScope::firstSeconds() const {
    switch (family_.dialect) {
    case InfiniiVision:
        return timePosition_ - reference_ * span();
    case Tektronix:
        return -timePosition_ / 100 * span();
    default:
        return timePosition_ - span() / 2;
    }
}

Setup SimScope::setup() const {
    Setup s;
    s.voltsPerDivision = scale_;
    s.centreVolts = centreVolts();
    s.firstSeconds = firstSeconds();
    const int most = record_ > 0 ? std::min(record_, limits_.recordLength) : limits_.recordLength;
    s.interval = intervalAtLeast(std::max(span() / most, 1 / limits_.maxSampleRate));
    s.points = std::clamp(static_cast<int>(std::floor(span() / s.interval + 1e-6)), 2, most);
    s.averages = mode_ == Mode::Average ? averages_ : 1;
    s.bandwidthHz =
        bandwidthLimit_ ? std::min(limits_.bandwidthHz, kBandwidthLimitHz) : limits_.bandwidthHz;
    s.gain = gain_;
    s.timebase = timebase_;
    return s;
}

int SimScope::width() const {
    if (family_.dialect == Siglent) {
        return 1;
    }
    return word_ ? 2 : 1;
}

bool SimScope::keepsFraction() const {
    return width() == 2 && (family_.dialect == InfiniiVision || family_.dialect == Tektronix);
}

SimScope::Range SimScope::transferRange() const {
    const std::size_t n = codes_.empty() ? static_cast<std::size_t>(shown().points) : codes_.size();
    Range r;
    if (family_.dialect == Siglent) {
        r.first = std::min(firstPoint_, n);
        r.step = sparsing_;
        r.count = (n - r.first + r.step - 1) / r.step;
        if (stop_ > 0) {
            r.count = std::min(r.count, stop_);
        }
    } else if (family_.dialect == Ds1000z || family_.dialect == Tektronix) {
        r.first = std::min(start_ - 1, n);
        const std::size_t last = std::min(stop_ == 0 ? n : stop_, n);
        r.count = last > r.first ? last - r.first : 0;
    } else {
        r.count = n;
    }
    return r;
}

std::string SimScope::encoded() const {
    const Range r = transferRange();
    const int b = width();
    const double below = std::ldexp(1.0, limits_.bits - 8); // codes per 8-bit code
    std::string out;
    for (std::size_t k = 0; k < r.count; ++k) {
        const double mean = codes_[r.first + k * r.step];
        if (ascii_) {
            const double volts = acquired_.centreVolts + (mean - limits_.midCode()) *
                                                             acquired_.voltsPerDivision /
                                                             limits_.codesPerDivision();
            out += (k == 0 ? "" : ",") +
                   (family_.dialect == Ds1000z
                        ? formatted("%.6e", volts)
                        : std::to_string(static_cast<long>(std::round(mean / below) - 128)));
            continue;
        }
        long value = keepsFraction() ? std::lround(mean * 256 / below) : std::lround(mean / below);
        if (signed_) {
            value -= static_cast<long>(middle());
        }
        const auto bits = static_cast<std::uint16_t>(value);
        if (b == 2) {
            const char high = static_cast<char>(bits >> 8), low = static_cast<char>(bits & 0xFF);
            out += lsbFirst_ ? std::string{low, high} : std::string{high, low};
        } else {
            out += static_cast<char>(bits & 0xFF);
        }
    }
    return out;
}

std::string SimScope::block(const std::string& bytes) const {
    std::string length = std::to_string(bytes.size());
    if (family_.blockDigits > 0 && length.size() < static_cast<std::size_t>(family_.blockDigits)) {
        length.insert(0, static_cast<std::size_t>(family_.blockDigits) - length.size(), '0');
    }
    return "#" + std::to_string(length.size()) + length + bytes;
}

void SimScope::charge(double seconds) const {
    if (realTime_ > 0) {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds * realTime_));
    }
}

void SimScope::arm(bool opcWaits) {
    armedAt_ = look_().updates;
    state_ = State::Armed;
    opcWaits_ = opcWaits;
    triggered_ = false;
    completed_ = 0;
}

void SimScope::poll() {
    if (state_ == State::Armed) {
        const boardmodel::BoardModel board = look_();
        if (board.updates == armedAt_) {
            return;
        }
        const Setup s = setup();
        codes_ = acquire(board, limits_, s, seed_, acquisitions_);
        acquisitions_ += static_cast<std::uint64_t>(s.averages);
        acquired_ = s;
        const double seconds = s.averages * (s.points * s.interval + kRearmSeconds) * realTime_;
        doneAt_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(seconds));
        state_ = State::Acquiring;
    }
    if (state_ == State::Acquiring && Clock::now() >= doneAt_) {
        state_ = State::Done;
        triggered_ = true;
        completed_ = static_cast<std::uint64_t>(acquired_.averages);
    }
}

void SimScope::waitUntilDone() {
    const auto giveUp = Clock::now() + kOpcWait;
    while (opcWaits_ && (state_ == State::Armed || state_ == State::Acquiring)) {
        poll();
        if (state_ == State::Armed && Clock::now() > giveUp) {
            return; // no update came: *OPC? answers rather than hang the server
        }
        if (state_ == State::Armed || state_ == State::Acquiring) {
            std::this_thread::sleep_for(kLookEvery);
        }
    }
}

void SimScope::reportError(scpi::ClientStatus& client, int code, std::string_view detail) {
    scpi::reportError(client, code, detail);
}

std::string SimScope::execute(std::string_view message, scpi::ClientStatus& client) {
    const scpi::ParsedMessage parsed = scpi::parse(message);
    std::string response;
    try {
        poll();
    } catch (const std::exception& e) {
        reportError(client, scpi::HardwareError, e.what());
    }
    for (const scpi::ProgramUnit& unit : parsed.units) {
        const ScopeCommands::Command* command = find(unit, family_.dialect);
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
            std::optional<std::string> answer;
            if (command->run == &ScopeCommands::outpre) {
                answer = ScopeCommands::outpreOf(*this, unit);
            } else {
                answer = command->run(*this, client, unit.parameters, unit.query);
            }
            if (answer) {
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

} // namespace qd::simscope

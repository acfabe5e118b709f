#include "meter/Meter.h"

#include "scpi/Parser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace qd::meter {

namespace {

using namespace std::chrono_literals;

constexpr double kOverloadVolts = 1e30; // meters answer 9.9E37 beyond their range
// What a range holds: meters read up to 120 % of it.
constexpr double kOverRange = 1.2;
// *OPC? asked this often, at most, to bring a meter back in step.
constexpr int kSynchroniseTries = 3;
// How often one code is read again after answers it could not tell apart.
constexpr int kReadAgain = 3;
// How long a query that only the report needs is waited for: a meter that
// knows it answers at once.
constexpr std::chrono::milliseconds kOptionalTimeout{1000};

// The most common ground: SCPI-99's DC volts subsystem, which Keysight's
// and most others' meters speak.
constexpr std::array<const char*, 6> kScpiConfigure = {
    "CONF:VOLT:DC {range}", "VOLT:DC:NPLC {nplc}", "VOLT:DC:ZERO:AUTO ON",
    "TRIG:SOUR IMM",        "SAMP:COUN {samples}", nullptr};

const std::vector<Family> kFamilies = {
    {"Keysight 34461A/34465A/34470A",
     "Keysight Technologies|Agilent Technologies",
     "3446|3447",
     kScpiConfigure,
     true,
     {0.1, 1, 10, 100, 1000},
     false,
     "READ?",
     "CAL:DATE?"},
    {"Keithley DMM6500 (SCPI)",
     "KEITHLEY INSTRUMENTS|KEITHLEY INSTRUMENTS INC.",
     "MODEL DMM6500",
     {":SENS:FUNC \"VOLT:DC\"", ":SENS:VOLT:RANG {range}", ":SENS:VOLT:NPLC {nplc}",
      ":SENS:VOLT:AZER ON", nullptr, nullptr},
     false,
     {0.1, 1, 10, 100, 1000},
     false,
     ":READ?",
     nullptr},
    {"Rigol DM3068",
     "Rigol Technologies",
     "DM3068",
     {":FUNC:VOLT:DC", ":MEAS:VOLT:DC {range}", ":VOLT:DC:NPLC {nplc}", nullptr, nullptr, nullptr},
     false,
     {0.2, 2, 20, 200, 1000},
     true,
     ":MEAS:VOLT:DC?",
     nullptr},
    {"Siglent SDM3065X",
     "Siglent Technologies",
     "SDM3065X",
     {"CONF:VOLT:DC {range}", "VOLT:DC:NPLC {nplc}", "VOLT:DC:AZ ON", "TRIG:SOUR IMM",
      "SAMP:COUN {samples}", nullptr},
     true,
     {0.2, 2, 20, 200, 1000},
     false,
     "READ?",
     nullptr},
    {"SCPI-99 meter",
     nullptr,
     nullptr,
     kScpiConfigure,
     true,
     {0.1, 1, 10, 100, 1000},
     false,
     "READ?",
     nullptr},
};

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

// Whether `field` is one of the '|'-separated names (prefix: begins with one).
bool oneOf(const char* names, std::string_view field, bool prefix) {
    if (!names) {
        return true;
    }
    std::string_view rest = names;
    const std::string wanted = upper(field);
    while (!rest.empty()) {
        const std::string name = upper(rest.substr(0, rest.find('|')));
        rest.remove_prefix(std::min(rest.size(), name.size() + 1));
        if (prefix ? wanted.starts_with(name) : wanted == name) {
            return true;
        }
    }
    return false;
}

std::string replaced(std::string text, std::string_view key, const std::string& value) {
    if (const auto at = text.find(key); at != std::string::npos) {
        text.replace(at, key.size(), value);
    }
    return text;
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

std::string trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    return std::string(text);
}

std::string seconds(std::chrono::milliseconds t) {
    return number(static_cast<double>(t.count()) / 1000);
}

// A carrier's failure without the meter named again.
std::string reasonOf(std::string_view message, const std::string& resource) {
    const std::string prefix = "meter " + resource + ": ";
    if (message.starts_with(prefix)) {
        message.remove_prefix(prefix.size());
    }
    return printable(message);
}

} // namespace

const Family& familyOf(const std::string& identity) {
    const auto comma = identity.find(',');
    const std::string_view maker = std::string_view(identity).substr(0, comma);
    const std::string_view rest = comma == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(identity).substr(comma + 1);
    const std::string_view model = rest.substr(0, rest.find(','));
    for (const Family& f : kFamilies) {
        if (f.makers && oneOf(f.makers, trimmed(maker), false) &&
            oneOf(f.models, trimmed(model), true)) {
            return f;
        }
    }
    return kFamilies.back();
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // C1 controls come as two bytes in UTF-8: C2 80 to C2 9F.
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80;
        if (c < 0x20 || c == 0x7F || c1) {
            const unsigned code = c1 ? static_cast<unsigned char>(text[++i]) : c;
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", code);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

Meter::Meter(std::unique_ptr<Transport> transport, std::string resource,
             std::chrono::milliseconds timeout, Notice notice)
    : transport_(std::move(transport)), resource_(std::move(resource)), timeout_(timeout),
      notice_(std::move(notice)) {
    identity_ = printable(trimmed(query("*IDN?", timeout_)));
    if (identity_.empty()) {
        fail("its *IDN? answer is empty");
    }
    family_ = &familyOf(identity_);
    askCalibrationDate();
}

void Meter::fail(const std::string& what) const {
    throw MeterError("meter " + resource_ + (identity_.empty() ? "" : " (" + identity_ + ")") +
                     ": " + what);
}

std::string Meter::at() const {
    return context_.empty() ? std::string() : " at " + context_;
}

void Meter::discarded(std::size_t count) {
    if (count == 0) {
        return;
    }
    if (discarded_ == 0 && notice_) {
        notice_("meter " + resource_ + ": discarded a reply nobody asked for (a late answer?)");
    }
    discarded_ += count;
}

bool Meter::discardPending() {
    const std::size_t n = transport_->drain();
    discarded(n);
    return n > 0;
}

void Meter::send(const std::string& message) {
    try {
        transport_->send(message);
    } catch (const MeterError& e) {
        fail(message + ": " + reasonOf(e.what(), resource_));
    }
}

std::string Meter::exchange(const std::string& message, std::chrono::milliseconds timeout) {
    send(message);
    try {
        return transport_->receive(timeout);
    } catch (const MeterTimeout&) {
        throw;
    } catch (const MeterError& e) {
        fail(message + ": " + reasonOf(e.what(), resource_));
    }
}

bool Meter::synchronise(std::chrono::milliseconds within) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + within;
    const auto slice = std::max(within / kSynchroniseTries, std::chrono::milliseconds(1));
    for (int attempt = 0; attempt < kSynchroniseTries && Clock::now() < deadline; ++attempt) {
        send("*OPC?");
        // Whatever comes before its 1 answers an earlier query.
        while (true) {
            const auto left = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  deadline - Clock::now()));
            if (left.count() <= 0) {
                break;
            }
            std::string answer;
            try {
                answer = transport_->receive(left);
            } catch (const MeterTimeout&) {
                break;
            } catch (const MeterError& e) {
                fail("*OPC?: " + reasonOf(e.what(), resource_));
            }
            if (trimmed(answer) == "1") {
                return true;
            }
            discarded(1);
        }
    }
    return false;
}

void Meter::discardStale(std::chrono::milliseconds within) {
    // An answer waiting now is nobody's: a late one, or one sent twice.
    // What may still be on its way of it is taken by *OPC?'s answer.
    if (discardPending() && !synchronise(within)) {
        fail("it sent a reply nobody asked for, and does not answer *OPC? within " +
             seconds(within) + " s");
    }
}

void Meter::clearAndSynchronise(const std::string& what, std::chrono::milliseconds within) {
    send("*CLS");
    if (!synchronise(within)) {
        fail(what + ", and after *CLS it does not answer *OPC?");
    }
}

std::string Meter::query(const std::string& message, std::chrono::milliseconds timeout) {
    discardStale(timeout);
    try {
        return exchange(message, timeout);
    } catch (const MeterTimeout&) {
    }
    // Once in step again, its late answer thrown away, the query is asked
    // once more.
    const std::string timedOut = message + " timed out after " + seconds(timeout) + " s";
    clearAndSynchronise(timedOut, timeout);
    try {
        return exchange(message, timeout);
    } catch (const MeterTimeout&) {
        fail(timedOut + ", also when asked again");
    }
}

std::optional<std::string> Meter::askOptional(const std::string& message) {
    discardStale(timeout_);
    try {
        return exchange(message, std::min(timeout_, kOptionalTimeout));
    } catch (const MeterTimeout&) {
    }
    // A header the meter does not know leaves -113 in its error queue and
    // no answer: *CLS empties the queue, and *OPC? brings it back in step,
    // throwing away a late answer should one still come.
    clearAndSynchronise(message + " was not answered", timeout_);
    return std::nullopt;
}

void Meter::askCalibrationDate() {
    if (!family_->calibrationQuery) {
        return;
    }
    // Only the report shows it: a meter that does not tell it (older
    // firmware, a compatible meter, a bridge) is measured all the same.
    const std::optional<std::string> answer = askOptional(family_->calibrationQuery);
    if (!answer) {
        return;
    }
    const scpi::ParsedResponse parsed = scpi::parseResponse(*answer);
    if (parsed.error != 0 || parsed.data.size() != 3 ||
        std::any_of(parsed.data.begin(), parsed.data.end(), [](const scpi::Parameter& p) {
            return p.kind != scpi::DataKind::Decimal || !p.suffix.empty() ||
                   p.number != std::floor(p.number) || p.number < 0 || p.number > 9999;
        })) {
        return;
    }
    char date[16];
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", static_cast<int>(parsed.data[0].number),
                  static_cast<int>(parsed.data[1].number), static_cast<int>(parsed.data[2].number));
    calibrationDate_ = date;
}

std::string Meter::nextError() {
    const std::string answer = query("SYST:ERR?", timeout_);
    const scpi::ParsedResponse parsed = scpi::parseResponse(answer);
    if (parsed.error != 0 || parsed.data.size() != 2 ||
        parsed.data[0].kind != scpi::DataKind::Decimal ||
        parsed.data[1].kind != scpi::DataKind::String) {
        fail("its SYST:ERR? answer \"" + printable(answer.substr(0, 80)) + "\" is no error entry");
    }
    return parsed.data[0].number == 0 ? std::string() : printable(answer);
}
void Meter::configure(const Settings& settings) {
    settings_ = settings;
    const auto& ranges = family_->ranges;
    const auto range = std::find_if(ranges.begin(), ranges.end(),
                                    [&](double r) { return r >= settings.coverVolts; });
    if (range == ranges.end()) {
        fail("no DC volts range holds " + number(settings.coverVolts) + " V");
    }
    range_ = *range;
    const std::string rangeText =
        family_->rangeByIndex ? std::to_string(range - ranges.begin()) : number(range_);
    std::vector<std::string> commands = {"*RST", "*CLS"};
    for (const char* c : family_->configure) {
        if (!c) {
            break;
        }
        std::string command = replaced(c, "{range}", rangeText);
        command = replaced(command, "{nplc}", number(settings.nplc));
        command = replaced(command, "{samples}",
                           std::to_string(family_->readsAllSamples ? settings.samples : 1));
        commands.push_back(command);
    }
    for (const std::string& command : commands) {
        send(command);
        // Answering also tells that the command has run.
        if (const std::string error = nextError(); !error.empty()) {
            fail("refused \"" + command + "\": " + error);
        }
    }
}

double Meter::volts(const scpi::Parameter& p, const std::string& query) const {
    if (p.kind != scpi::DataKind::Decimal || !std::isfinite(p.number)) {
        fail(query + " answered \"" + printable(p.text) + "\", which is no reading" + at());
    }
    if (std::abs(p.number) > kOverloadVolts) {
        fail("it reads overload (" + printable(p.text) + ") on its " + number(range_) + " V range" +
             at() + ": is it wired to the board's output?");
    }
    // Some meters send a unit; one not known is not guessed at.
    double scale = 0;
    const std::string unit = upper(p.suffix);
    if (unit.empty() || unit == "V") {
        scale = 1;
    } else if (unit == "MV") {
        scale = 1e-3;
    } else if (unit == "UV") {
        scale = 1e-6;
    } else {
        fail(query + " answered \"" + printable(p.text) + "\": its unit \"" + printable(p.suffix) +
             "\" is not V, mV or uV" + at());
    }
    const double v = p.number * scale;
    if (std::abs(v) > kOverRange * range_) {
        fail("it reads " + number(v) + " V, beyond its " + number(range_) + " V range" + at() +
             ": is it wired to the board's output?");
    }
    return v;
}

std::vector<double> Meter::read() {
    const int perQuery = family_->readsAllSamples ? settings_.samples : 1;
    const auto timeout = timeout_ + std::chrono::milliseconds(
                                        static_cast<long>(3000 * perQuery * settings_.nplc / 50));
    const std::string readQuery = family_->readQuery;
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(settings_.samples));
    int again = 0;
    while (static_cast<int>(out.size()) < settings_.samples) {
        const std::string answer = query(readQuery, timeout);
        // Another answer already behind this one (a copy sent twice, a late
        // one): which of them is this query's cannot be told. All of them
        // go, the meter is brought back in step, and what is being measured
        // is read again from its first sample.
        if (discardPending()) {
            if (++again > kReadAgain) {
                fail("it keeps answering " + readQuery + " more than once" + at());
            }
            clearAndSynchronise(readQuery + " was answered more than once", timeout_);
            out.clear();
            continue;
        }
        const scpi::ParsedResponse parsed = scpi::parseResponse(answer);
        if (parsed.error != 0 || parsed.data.size() != static_cast<std::size_t>(perQuery)) {
            fail(readQuery + " answered \"" + printable(answer.substr(0, 80)) + "\", not " +
                 std::to_string(perQuery) + (perQuery == 1 ? " reading" : " readings") + at());
        }
        for (const auto& p : parsed.data) {
            out.push_back(volts(p, readQuery));
        }
    }
    return out;
}

} // namespace qd::meter

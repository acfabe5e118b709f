#include "meter/Meter.h"

#include "scpi/Parser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace qd::meter {

namespace {

using namespace std::chrono_literals;

constexpr auto kCommandTimeout = 5000ms;
constexpr double kOverloadVolts = 1e30; // meters answer 9.9E37 beyond their range

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
     false},
    {"Keithley DMM6500 (SCPI)",
     "KEITHLEY INSTRUMENTS|KEITHLEY INSTRUMENTS INC.",
     "MODEL DMM6500",
     {":SENS:FUNC \"VOLT:DC\"", ":SENS:VOLT:RANG {range}", ":SENS:VOLT:NPLC {nplc}",
      ":SENS:VOLT:AZER ON", nullptr, nullptr},
     false,
     {0.1, 1, 10, 100, 1000},
     false},
    {"Rigol DM3068",
     "Rigol Technologies",
     "DM3068",
     {":FUNC:VOLT:DC", ":MEAS:VOLT:DC {range}", ":VOLT:DC:NPLC {nplc}", nullptr, nullptr, nullptr},
     false,
     {0.2, 2, 20, 200, 1000},
     true},
    {"Siglent SDM3065X",
     "Siglent Technologies",
     "SDM3065X",
     {"CONF:VOLT:DC {range}", "VOLT:DC:NPLC {nplc}", "VOLT:DC:AZ ON", "TRIG:SOUR IMM",
      "SAMP:COUN {samples}", nullptr},
     true,
     {0.2, 2, 20, 200, 1000},
     false},
    {"SCPI-99 meter", nullptr, nullptr, kScpiConfigure, true, {0.1, 1, 10, 100, 1000}, false},
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

Meter::Meter(std::unique_ptr<Transport> transport, std::string resource)
    : transport_(std::move(transport)), resource_(std::move(resource)) {
    identity_ = trimmed(query("*IDN?", kCommandTimeout));
    if (identity_.empty()) {
        fail("its *IDN? answer is empty");
    }
    family_ = &familyOf(identity_);
}

void Meter::fail(const std::string& what) const {
    throw MeterError("meter " + resource_ + (identity_.empty() ? "" : " (" + identity_ + ")") +
                     ": " + what);
}

std::string Meter::query(const std::string& message, std::chrono::milliseconds timeout) {
    transport_->send(message);
    return transport_->receive(timeout);
}

std::string Meter::nextError() {
    const std::string answer = query("SYST:ERR?", kCommandTimeout);
    const scpi::ParsedResponse parsed = scpi::parseResponse(answer);
    if (parsed.error != 0 || parsed.data.empty() ||
        parsed.data[0].kind != scpi::DataKind::Decimal) {
        fail("its SYST:ERR? answer \"" + answer + "\" is no error entry");
    }
    return parsed.data[0].number == 0 ? std::string() : answer;
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
        transport_->send(command);
        // Answering also tells that the command has run.
        if (const std::string error = nextError(); !error.empty()) {
            fail("refused \"" + command + "\": " + error);
        }
    }
}

std::vector<double> Meter::read() {
    const int perQuery = family_->readsAllSamples ? settings_.samples : 1;
    const auto timeout =
        kCommandTimeout +
        std::chrono::milliseconds(static_cast<long>(3000 * perQuery * settings_.nplc / 50));
    std::vector<double> volts;
    volts.reserve(static_cast<std::size_t>(settings_.samples));
    while (static_cast<int>(volts.size()) < settings_.samples) {
        const std::string answer = query("READ?", timeout);
        const scpi::ParsedResponse parsed = scpi::parseResponse(answer);
        if (parsed.error != 0 || parsed.data.size() != static_cast<std::size_t>(perQuery)) {
            fail("READ? answered \"" + answer.substr(0, 80) + "\", not " +
                 std::to_string(perQuery) + (perQuery == 1 ? " reading" : " readings"));
        }
        for (const auto& p : parsed.data) {
            if (p.kind != scpi::DataKind::Decimal || !std::isfinite(p.number)) {
                fail("READ? answered \"" + std::string(p.text) + "\", which is no reading");
            }
            if (std::abs(p.number) > kOverloadVolts) {
                fail("it reads overload on its " + number(range_) +
                     " V range: is it wired to the board's output?");
            }
            volts.push_back(p.number);
        }
    }
    return volts;
}

} // namespace qd::meter

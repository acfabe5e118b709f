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
// How often one code is read again after answers it could not tell apart.
constexpr int kReadAgain = 3;

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

} // namespace

const Family& familyOf(const std::string& identity) {
    const auto comma = identity.find(',');
    const std::string_view maker = std::string_view(identity).substr(0, comma);
    const std::string_view rest = comma == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(identity).substr(comma + 1);
    const std::string_view model = rest.substr(0, rest.find(','));
    for (const Family& f : kFamilies) {
        if (f.makers && namedIn(f.makers, trimmed(maker), false) &&
            namedIn(f.models, trimmed(model), true)) {
            return f;
        }
    }
    return kFamilies.back();
}

Meter::Meter(std::unique_ptr<Transport> transport, std::string resource,
             std::chrono::milliseconds timeout, Notice notice)
    : io_(std::move(transport), "meter", std::move(resource), timeout, std::move(notice)) {
    io_.setIdentity(printable(trimmed(io_.query("*IDN?"))));
    if (io_.identity().empty()) {
        fail("its *IDN? answer is empty");
    }
    family_ = &familyOf(io_.identity());
    askCalibrationDate();
}

std::string Meter::at() const {
    return context_.empty() ? std::string() : " at " + context_;
}

void Meter::askCalibrationDate() {
    if (!family_->calibrationQuery) {
        return;
    }
    // Only the report shows it: a meter that does not tell it (older
    // firmware, a compatible meter, a bridge) is measured all the same.
    const std::optional<std::string> answer = io_.askOptional(family_->calibrationQuery);
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
        io_.command(command, "SYST:ERR?");
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
    const auto timeout =
        io_.timeout() +
        std::chrono::milliseconds(static_cast<long>(3000 * perQuery * settings_.nplc / 50));
    const std::string readQuery = family_->readQuery;
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(settings_.samples));
    int again = 0;
    while (static_cast<int>(out.size()) < settings_.samples) {
        const std::string answer = io_.query(readQuery, timeout);
        // Another answer already behind this one (a copy sent twice, a late
        // one): which of them is this query's cannot be told. All of them
        // go, the meter is brought back in step, and what is being measured
        // is read again from its first sample.
        if (io_.discardPending()) {
            if (++again > kReadAgain) {
                fail("it keeps answering " + readQuery + " more than once" + at());
            }
            io_.clearAndSynchronise(readQuery + " was answered more than once", io_.timeout());
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

#include "boardmodel/ConverterModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <numbers>

namespace qd::boardmodel {

namespace {

struct Parameter {
    const char* name;
    double ConverterModel::*field; // nullptr: an msb weight or the seed
    int msb;                       // 1 to 4 for msb1 to msb4
};

constexpr Parameter kParameters[] = {
    {"offset", &ConverterModel::offset, 0},
    {"gain", &ConverterModel::gain, 0},
    {"bow", &ConverterModel::bow, 0},
    {"msb1", nullptr, 1},
    {"msb2", nullptr, 2},
    {"msb3", nullptr, 3},
    {"msb4", nullptr, 4},
    {"noise", &ConverterModel::noise, 0},
    {"floor", &ConverterModel::floor, 0},
    {"slew", &ConverterModel::slew, 0},
    {"tau", &ConverterModel::tau, 0},
    {"glitch", &ConverterModel::glitch, 0},
    {"glitchwidth", &ConverterModel::glitchwidth, 0},
    {"seed", nullptr, 0},
};

double& valueOf(ConverterModel& m, const Parameter& p) {
    return p.field ? m.*(p.field) : m.msb[static_cast<std::size_t>(p.msb - 1)];
}

// The shortest text that reads back as the same number.
std::string shortest(double value) {
    char text[32];
    return {text, std::to_chars(text, text + sizeof text, value).ptr};
}

std::uint64_t splitmix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// (0, 1], never 0, so that its logarithm is finite.
double unit(std::uint64_t bits) {
    return (static_cast<double>(bits >> 11) + 1.0) * 0x1.0p-53;
}

// Parameters that have no meaning below 0.
bool notNegative(std::string_view name) {
    return name == "noise" || name == "floor" || name == "slew" || name == "tau" ||
           name == "glitchwidth";
}

// How far the output still is from its new value `seconds` after a step of
// `distance` volts, with the slew rate in V/s and the time constant in s.
double remaining(double distance, double slewPerSecond, double tauSeconds, double seconds) {
    if (slewPerSecond == 0 && tauSeconds == 0) {
        return 0;
    }
    if (slewPerSecond == 0) {
        return distance * std::exp(-seconds / tauSeconds);
    }
    if (tauSeconds == 0) {
        return std::max(0.0, distance - slewPerSecond * seconds);
    }
    const double knee = slewPerSecond * tauSeconds;
    if (distance <= knee) {
        return distance * std::exp(-seconds / tauSeconds);
    }
    const double slewing = (distance - knee) / slewPerSecond;
    return seconds < slewing ? distance - slewPerSecond * seconds
                             : knee * std::exp(-(seconds - slewing) / tauSeconds);
}

// When remaining() last leaves `band`.
double settledAfter(double distance, double slewPerSecond, double tauSeconds, double band) {
    if (distance <= band || (slewPerSecond == 0 && tauSeconds == 0)) {
        return 0;
    }
    if (slewPerSecond == 0) {
        return tauSeconds * std::log(distance / band);
    }
    const double knee = slewPerSecond * tauSeconds;
    if (tauSeconds == 0 || knee <= band) {
        return (distance - band) / slewPerSecond;
    }
    if (distance <= knee) {
        return tauSeconds * std::log(distance / band);
    }
    return (distance - knee) / slewPerSecond + tauSeconds * std::log(knee / band);
}

} // namespace

ConverterModel ConverterModel::typical() {
    ConverterModel m;
    m.offset = -1.2;
    m.gain = -0.04;
    m.bow = 30;
    m.msb = {12, -7, 4, 0};
    m.noise = 15;
    m.floor = 0.5;
    m.seed = 1;
    return m;
}

std::optional<ConverterModel> ConverterModel::parse(std::string_view text, std::string& why) {
    if (text == "ideal") {
        return ConverterModel{};
    }
    if (text == "typical") {
        return typical();
    }
    ConverterModel m;
    while (!text.empty()) {
        const std::string_view item = text.substr(0, text.find(','));
        text.remove_prefix(std::min(text.size(), item.size() + 1));
        const auto eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        const auto* p = std::find_if(std::begin(kParameters), std::end(kParameters),
                                     [&](const Parameter& q) { return name == q.name; });
        if (eq == std::string_view::npos || p == std::end(kParameters)) {
            why = "\"" + std::string(item) + "\" is no name=value of a model parameter";
            return std::nullopt;
        }
        const std::string_view value = item.substr(eq + 1);
        const char* end = value.data() + value.size();
        if (name == "seed") {
            const auto [at, ec] = std::from_chars(value.data(), end, m.seed);
            if (ec != std::errc() || at != end) {
                why = "seed takes a whole number, 0 or more";
                return std::nullopt;
            }
            continue;
        }
        double number = 0;
        const auto [at, ec] = std::from_chars(value.data(), end, number);
        if (ec != std::errc() || at != end || !std::isfinite(number) ||
            (notNegative(name) && number < 0)) {
            why = std::string(name) + " takes a finite number" +
                  (notNegative(name) ? ", 0 or more" : "");
            return std::nullopt;
        }
        valueOf(m, *p) = number;
    }
    return m;
}

std::string ConverterModel::text() const {
    if (ideal()) {
        return "ideal";
    }
    if (*this == typical()) {
        return "typical";
    }
    std::string out;
    ConverterModel copy = *this;
    for (const Parameter& p : kParameters) {
        const bool isSeed = std::string_view(p.name) == "seed";
        if (isSeed ? seed == 0 : valueOf(copy, p) == 0) {
            continue;
        }
        out += (out.empty() ? "" : ",") + std::string(p.name) + "=" +
               (isSeed ? std::to_string(seed) : shortest(valueOf(copy, p)));
    }
    return out;
}

double ConverterModel::quietVolts(std::uint32_t field, int dataBits, double referenceVolts) const {
    const double x = std::ldexp(static_cast<double>(field), -dataBits);
    double ppm = 4 * bow * x * (1 - x);
    for (int i = 0; i < 4; ++i) {
        if ((field >> (dataBits - 1 - i)) & 1u) {
            ppm += msb[static_cast<std::size_t>(i)];
        }
    }
    return referenceVolts * (1 + gain / 100) * (x + 1e-6 * ppm) + offset / 1000;
}

double ConverterModel::volts(std::uint32_t field, int dataBits, double referenceVolts,
                             double noiseVolts) const {
    const double v = quietVolts(field, dataBits, referenceVolts) + noiseVolts;
    return std::clamp(v, std::min(floor / 1000, referenceVolts), referenceVolts);
}

double ConverterModel::noiseVolts(std::uint64_t stream, std::uint64_t index) const {
    return noise == 0 ? 0.0 : noise * 1e-6 * normalDeviate(seed, stream, index);
}

bool ConverterModel::majorCarry(std::uint32_t fromField, std::uint32_t toField, int dataBits) {
    return dataBits > 0 && (((fromField ^ toField) >> (dataBits - 1)) & 1u) != 0;
}

double ConverterModel::glitchSeconds() const {
    return (glitchwidth > 0 ? glitchwidth : kDefaultGlitchWidthNs) * 1e-9;
}

double ConverterModel::glitchVolts(double secondsAfterUpdate) const {
    const double width = glitchSeconds();
    if (glitch == 0 || secondsAfterUpdate < 0 || secondsAfterUpdate > width) {
        return 0;
    }
    return glitch * 1e-9 / width *
           (1 - std::cos(2 * std::numbers::pi * secondsAfterUpdate / width));
}

double ConverterModel::transitionVolts(double fromVolts, double toVolts, bool carry,
                                       double secondsAfterUpdate) const {
    if (secondsAfterUpdate < 0) {
        return fromVolts;
    }
    const double rest =
        remaining(std::abs(toVolts - fromVolts), slew * 1e6, tau * 1e-6, secondsAfterUpdate);
    const double v = toVolts - (toVolts >= fromVolts ? rest : -rest);
    return carry ? v + glitchVolts(secondsAfterUpdate) : v;
}

double ConverterModel::stepVolts(std::uint32_t fromField, std::uint32_t toField, int dataBits,
                                 double referenceVolts, double secondsAfterUpdate) const {
    const double v = transitionVolts(quietVolts(fromField, dataBits, referenceVolts),
                                     quietVolts(toField, dataBits, referenceVolts),
                                     majorCarry(fromField, toField, dataBits), secondsAfterUpdate);
    return std::clamp(v, std::min(floor / 1000, referenceVolts), referenceVolts);
}

double ConverterModel::settlingSeconds(std::uint32_t fromField, std::uint32_t toField, int dataBits,
                                       double referenceVolts, double bandVolts) const {
    const double from = quietVolts(fromField, dataBits, referenceVolts);
    const double to = quietVolts(toField, dataBits, referenceVolts);
    const double stepped = settledAfter(std::abs(to - from), slew * 1e6, tau * 1e-6, bandVolts);
    if (glitch == 0 || !majorCarry(fromField, toField, dataBits)) {
        return stepped;
    }
    // The lobe is smooth and lasts its width: the last sample of a fine
    // grid outside the band, then the crossing after it by bisection.
    const auto outside = [&](double t) {
        return std::abs(transitionVolts(from, to, true, t) - to) > bandVolts;
    };
    constexpr int kSteps = 4096;
    const double width = glitchSeconds();
    for (int i = kSteps - 1; i >= 0; --i) {
        double lo = width * i / kSteps;
        if (!outside(lo)) {
            continue;
        }
        double hi = width * (i + 1) / kSteps;
        for (int k = 0; k < 60; ++k) {
            const double mid = (lo + hi) / 2;
            (outside(mid) ? lo : hi) = mid;
        }
        return std::max(stepped, hi);
    }
    return stepped;
}

double ConverterModel::slewRate(std::uint32_t fromField, std::uint32_t toField, int dataBits,
                                double referenceVolts) const {
    const double distance = std::abs(quietVolts(toField, dataBits, referenceVolts) -
                                     quietVolts(fromField, dataBits, referenceVolts));
    if (distance == 0) {
        return 0;
    }
    if (tau == 0) {
        return slew == 0 ? std::numeric_limits<double>::infinity() : slew;
    }
    return slew == 0 || distance <= slew * tau ? distance / tau : slew;
}

ConverterModel::GlitchImpulse
ConverterModel::glitchImpulse(std::uint32_t fromField, std::uint32_t toField, int dataBits) const {
    if (!majorCarry(fromField, toField, dataBits)) {
        return {};
    }
    return {glitch, std::abs(glitch)};
}

ConverterModel ConverterModel::lotUnit(std::uint64_t seed, int unit) {
    // A stream of its own, apart from every observer's noise streams.
    constexpr std::uint64_t kLotStream = 0x6C6F7400;
    const auto draw = [&](std::uint64_t parameter) {
        return normalDeviate(seed, kLotStream + static_cast<std::uint64_t>(unit), parameter);
    };
    ConverterModel m = typical();
    m.offset += 0.5 * draw(0);
    m.gain += 0.02 * draw(1);
    m.bow += 10 * draw(2);
    for (std::size_t bit = 0; bit < 3; ++bit) {
        m.msb[bit] += 4 * draw(3 + bit);
    }
    m.seed = typical().seed + static_cast<std::uint64_t>(unit);
    return m;
}

double normalDeviate(std::uint64_t seed, std::uint64_t stream, std::uint64_t index) {
    // Box-Muller from two uniforms that hash the three inputs apart.
    const std::uint64_t a =
        splitmix(splitmix(seed) ^ splitmix(stream * 0x632BE59BD9B4E019ull) ^ splitmix(index));
    const std::uint64_t b = splitmix(a);
    return std::sqrt(-2.0 * std::log(unit(a))) * std::cos(2.0 * std::numbers::pi * unit(b));
}

} // namespace qd::boardmodel

#include "boardmodel/ConverterModel.h"

#include <algorithm>
#include <charconv>
#include <cmath>
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
            ((name == "noise" || name == "floor") && number < 0)) {
            why = std::string(name) + " takes a finite number" +
                  (name == "noise" || name == "floor" ? ", 0 or more" : "");
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

#include "measure/Limits.h"

#include "control/DataWord.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace qd::measure {

using control::formatCode;
using control::formatNumber;

namespace {

struct Bound {
    const char* name;
    std::optional<double> Limits::*limit;
    const char* figure;
    const char* unit;
};

constexpr Bound kBounds[] = {
    {"inl", &Limits::inl, "best-fit INL", "LSB"},
    {"dnl", &Limits::dnl, "DNL", "LSB"},
    {"offset", &Limits::offset, "offset error", "mV"},
    {"gain", &Limits::gain, "gain error", "%"},
    {"zero", &Limits::zero, "zero-code error", "mV"},
    {"fullscale", &Limits::fullScale, "full-scale error", "%"},
};

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

// The figure a bound limits; nullopt when it was not measured.
std::optional<Figure> figureOf(const Figures& f, std::string_view name) {
    if (name == "inl") {
        return f.inlBestFit;
    }
    if (name == "dnl") {
        return f.steps.empty() ? std::nullopt : std::optional<Figure>(f.dnl);
    }
    if (name == "offset") {
        return f.offset;
    }
    if (name == "gain") {
        return f.gain;
    }
    if (name == "zero") {
        return f.zeroCode;
    }
    return f.fullScale;
}

} // namespace

std::optional<Limits> Limits::parse(std::string_view text, std::string& why) {
    Limits limits;
    while (!text.empty()) {
        const std::string_view item = text.substr(0, text.find(','));
        text.remove_prefix(std::min(text.size(), item.size() + 1));
        const auto eq = item.find('=');
        const Bound* bound = nullptr;
        for (const Bound& b : kBounds) {
            if (item.substr(0, eq) == b.name) {
                bound = &b;
            }
        }
        double value = 0;
        const std::string_view digits =
            eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
        const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (!bound || ec != std::errc() || end != digits.data() + digits.size() ||
            !std::isfinite(value) || value <= 0) {
            why = "\"" + std::string(item) +
                  "\": take inl, dnl, offset, gain, zero or fullscale = a number above 0, as in "
                  "inl=2,dnl=1,offset=5,gain=0.1 (LSB, LSB, mV, %)";
            return std::nullopt;
        }
        limits.*(bound->limit) = value;
    }
    return limits;
}

std::string Limits::text() const {
    std::string out;
    for (const Bound& b : kBounds) {
        if (const auto& limit = this->*(b.limit)) {
            out += (out.empty() ? "" : ",") + std::string(b.name) + "=" + formatNumber(*limit);
        }
    }
    return out;
}

bool withinLimit(const std::optional<double>& limit, double value) {
    return !limit || std::abs(value) <= *limit;
}

Verdict judge(const Figures& figures, const Limits& limits) {
    Verdict v;
    const auto fail = [&](std::string line) {
        v.pass = false;
        v.failures.push_back(std::move(line));
    };
    if (figures.response != Response::Follows) {
        fail(figures.response == Response::Flat
                 ? "the output stays flat whatever the code: are the meter's leads on the "
                   "board's output, and the board powered?"
                 : "the output falls as the code rises: are the meter's leads the right way "
                   "round?");
        return v;
    }
    const Extreme& step = figures.smallestStep;
    const std::string where = " at the step up from code " + formatCode(step.code);
    if (figures.monotonic == Monotonic::No) {
        fail("not monotonic: the output falls by " + number(-step.value) + " LSB" + where);
    } else if (figures.monotonic == Monotonic::Unresolved) {
        fail("monotonic not shown: a step of " + number(step.value) + " LSB" + where +
             " lies within its uncertainty of 0; more --samples or a higher --nplc resolve it");
    }
    for (const Bound& b : kBounds) {
        const auto& limit = limits.*(b.limit);
        const auto figure = figureOf(figures, b.name);
        if (!limit) {
            continue;
        }
        if (!figure) {
            fail(std::string(b.figure) + " not measured: the plan has no neighbouring codes");
        } else if (!withinLimit(limit, figure->value)) {
            fail(std::string(b.figure) + " " + number(figure->value) + " " + b.unit +
                 " beyond the limit of " + formatNumber(*limit) + " " + b.unit);
        }
    }
    return v;
}

} // namespace qd::measure

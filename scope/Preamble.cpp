#include "scope/Preamble.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <vector>

namespace qd::scope {

namespace {

std::string_view trimmedView(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    return text;
}

// A unit's power of ten before it: "G" of GSa, "m" of mV.
std::optional<double> prefixed(std::string_view prefix) {
    if (prefix.empty()) {
        return 1.0;
    }
    if (prefix.size() != 1) {
        return std::nullopt;
    }
    switch (prefix.front()) {
    case 'G':
        return 1e9;
    case 'M':
        return 1e6;
    case 'k':
    case 'K':
        return 1e3;
    case 'm':
        return 1e-3;
    case 'u':
        return 1e-6;
    case 'n':
        return 1e-9;
    case 'p':
        return 1e-12;
    default:
        return std::nullopt;
    }
}

std::string quoted(std::string_view answer) {
    std::string out = "\"";
    for (const char c : answer.substr(0, 80)) {
        out += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    }
    return out + (answer.size() > 80 ? "...\"" : "\"");
}

// The comma-separated numbers of a preamble; nullopt, with why, when there
// are not `count` of them.
std::optional<std::vector<double>> fieldsOf(const std::string& query, const std::string& answer,
                                            std::size_t count, std::string& why) {
    std::vector<double> out;
    const std::string body = bodyOf(answer);
    std::string_view rest = body;
    while (true) {
        const std::size_t comma = rest.find(',');
        const auto value = numberIn(rest.substr(0, comma));
        if (!value) {
            why = query + " answered " + quoted(answer) + ": field " +
                  std::to_string(out.size() + 1) + " is no number";
            return std::nullopt;
        }
        out.push_back(*value);
        if (comma == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(comma + 1);
    }
    if (out.size() != count) {
        why = query + " answered " + std::to_string(out.size()) + " fields, not " +
              std::to_string(count) + ": " + quoted(answer);
        return std::nullopt;
    }
    return out;
}

// A number a dialect asks for alone; nullopt, with why, when it is none.
std::optional<double> askNumber(const Ask& ask, const std::string& query, std::string& why) {
    const std::string answer = ask(query);
    const auto value = numberIn(answer);
    if (!value) {
        why = query + " answered " + quoted(answer) + ", which is no number";
    }
    return value;
}

int pointsOf(double told, int requested) {
    const int points = static_cast<int>(std::lround(told));
    return requested > 0 ? std::min(points, requested) : points;
}

// InfiniiVision's and DS1000Z's ten fields: format, type, points, count,
// xincrement, xorigin, xreference, yincrement, yorigin, yreference.
std::optional<Preamble> tenFields(const Family& family, int requested, const Ask& ask,
                                  std::string& why) {
    const std::string query = ":WAVeform:PREamble?";
    const auto f = fieldsOf(query, ask(query), 10, why);
    if (!f) {
        return std::nullopt;
    }
    const bool rigol = family.dialect == Dialect::Ds1000z;
    // The transfer was set to bytes on DS1000Z, to words on InfiniiVision.
    if ((*f)[0] != 0 && ((*f)[0] != 1 || rigol)) {
        why = query + " gives format " + std::to_string(std::lround((*f)[0])) +
              (rigol ? ", not BYTE (0)" : ", not BYTE (0) or WORD (1)");
        return std::nullopt;
    }
    Preamble p;
    p.width = (*f)[0] == 1 ? 2 : 1;
    p.msbFirst = false; // :WAVeform:BYTeorder LSBFirst
    // Type 2 is an average on both; the count is its number of acquisitions.
    p.averages = (*f)[1] == 2 ? static_cast<int>(std::lround((*f)[3])) : 1;
    // DS1000Z tells its memory's depth; InfiniiVision what it sends.
    p.points = rigol ? pointsOf((*f)[2], requested) : static_cast<int>(std::lround((*f)[2]));
    p.xIncrement = (*f)[4];
    p.xOrigin = (*f)[5];
    p.xReference = (*f)[6];
    p.yIncrement = (*f)[7];
    // DS1000Z: (code − yorigin − yreference) × yincrement.
    p.yOrigin = rigol ? 0 : (*f)[8];
    p.yReference = rigol ? (*f)[8] + (*f)[9] : (*f)[9];
    return p;
}

std::optional<Preamble> tektronix(const Ask& ask, std::string& why) {
    const char* numbers[] = {"WFMOutpre:BYT_Nr?", "WFMOutpre:NR_Pt?",  "WFMOutpre:XINcr?",
                             "WFMOutpre:XZEro?",  "WFMOutpre:PT_Off?", "WFMOutpre:YMUlt?",
                             "WFMOutpre:YOFf?",   "WFMOutpre:YZEro?"};
    double v[8] = {};
    for (std::size_t i = 0; i < 8; ++i) {
        const auto value = askNumber(ask, numbers[i], why);
        if (!value) {
            return std::nullopt;
        }
        v[i] = *value;
    }
    Preamble p;
    p.width = static_cast<int>(std::lround(v[0]));
    if (p.width != 1 && p.width != 2) {
        why = "WFMOutpre:BYT_Nr? gives " + std::to_string(p.width) + " bytes a sample, not 1 or 2";
        return std::nullopt;
    }
    const std::string format = bodyOf(ask("WFMOutpre:BN_Fmt?"));
    const std::string order = bodyOf(ask("WFMOutpre:BYT_Or?"));
    if ((format != "RI" && format != "RP") || (order != "MSB" && order != "LSB")) {
        why = "WFMOutpre gives the binary format " + quoted(format) + " and byte order " +
              quoted(order) + ", not RI or RP and MSB or LSB";
        return std::nullopt;
    }
    p.isSigned = format == "RI";
    p.msbFirst = order == "MSB";
    p.points = static_cast<int>(std::lround(v[1]));
    p.xIncrement = v[2];
    p.xOrigin = v[3];
    p.xReference = v[4];
    p.yIncrement = v[5];
    p.yReference = v[6];
    p.yOrigin = v[7];
    return p;
}

std::optional<Preamble> siglent(const Family& family, int requested, const Ask& ask,
                                std::string& why) {
    const char* queries[] = {"C1:VDIV?", "C1:OFST?", "TDIV?", "TRDL?", "SARA?", "SANU? C1"};
    double v[6] = {};
    for (std::size_t i = 0; i < 6; ++i) {
        const auto value = askNumber(ask, queries[i], why);
        if (!value) {
            return std::nullopt;
        }
        v[i] = *value;
    }
    if (v[4] <= 0) {
        why = "SARA? gives no sample rate";
        return std::nullopt;
    }
    Preamble p;
    p.isSigned = true;
    p.points = pointsOf(v[5], requested);
    // A code is 1/25 of a division; the offset is added to the signal.
    p.yIncrement = v[0] / 25;
    p.yOrigin = -v[1];
    // TRDL is the time at the screen's centre.
    p.xIncrement = 1 / v[4];
    p.xOrigin = v[3] - v[2] * family.horizontalDivisions / 2;
    return p;
}

} // namespace

std::string bodyOf(std::string_view answer) {
    std::string_view t = trimmedView(answer);
    if (!t.empty() && (std::isalpha(static_cast<unsigned char>(t.front())) || t.front() == ':')) {
        if (const std::size_t space = t.find(' '); space != std::string_view::npos) {
            t = trimmedView(t.substr(space + 1));
        }
    }
    return std::string(t);
}

std::optional<double> numberIn(std::string_view answer) {
    const std::string body = bodyOf(answer);
    std::string_view text = body;
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || !std::isfinite(value)) {
        return std::nullopt;
    }
    std::string_view unit = trimmedView(text.substr(static_cast<std::size_t>(end - text.data())));
    if (unit.ends_with("/s")) {
        unit.remove_suffix(2);
    }
    for (const std::string_view name : {"Sa", "pts", "V", "S", "s"}) {
        if (unit.ends_with(name)) {
            unit.remove_suffix(name.size());
            break;
        }
    }
    const auto scale = prefixed(unit);
    if (!scale) {
        return std::nullopt;
    }
    return value * *scale;
}

std::optional<Preamble> readPreamble(const Family& family, int requested, const Ask& ask,
                                     std::string& why) {
    std::optional<Preamble> p;
    switch (family.dialect) {
    case Dialect::InfiniiVision:
    case Dialect::Ds1000z:
        p = tenFields(family, requested, ask, why);
        break;
    case Dialect::Tektronix:
        p = tektronix(ask, why);
        break;
    case Dialect::Siglent:
        p = siglent(family, requested, ask, why);
        break;
    }
    if (p && !(p->xIncrement > 0 && std::isfinite(p->xIncrement) && p->yIncrement != 0 &&
               std::isfinite(p->yIncrement) && p->points > 0)) {
        why = "its preamble gives no sample interval, volts per code or points";
        p.reset();
    }
    return p;
}

std::optional<measure::Waveform> decode(const Preamble& p, std::string_view bytes, int adcBits,
                                        std::string& why) {
    const auto width = static_cast<std::size_t>(p.width);
    if (bytes.size() != static_cast<std::size_t>(p.points) * width) {
        why = "its block holds " + std::to_string(bytes.size()) + " bytes, its preamble " +
              std::to_string(p.points) + " samples of " + std::to_string(p.width) +
              (p.width == 1 ? " byte" : " bytes");
        return std::nullopt;
    }
    // The ADC's code sits at the top of the word: one code is `step` there.
    const int bits = std::clamp(adcBits, 1, 8 * p.width);
    const double step = std::ldexp(1.0, 8 * p.width - bits);
    const double lowest = p.isSigned ? -std::ldexp(1.0, 8 * p.width - 1) : 0;
    const double highest = lowest + std::ldexp(1.0, 8 * p.width) - step;
    measure::Waveform w;
    w.intervalSeconds = p.xIncrement;
    w.startSeconds = (0 - p.xReference) * p.xIncrement + p.xOrigin;
    w.codeVolts = std::abs(p.yIncrement) * step;
    w.averages = std::max(p.averages, 1);
    w.volts.reserve(static_cast<std::size_t>(p.points));
    w.clipped.reserve(static_cast<std::size_t>(p.points));
    for (std::size_t i = 0; i < bytes.size(); i += width) {
        unsigned raw = 0;
        for (std::size_t b = 0; b < width; ++b) {
            const auto byte =
                static_cast<unsigned char>(bytes[i + (p.msbFirst ? b : width - 1 - b)]);
            raw = (raw << 8) | byte;
        }
        double code = raw;
        if (p.isSigned && raw >= (1u << (8 * width - 1))) {
            code -= std::ldexp(1.0, 8 * p.width);
        }
        w.volts.push_back((code - p.yReference) * p.yIncrement + p.yOrigin);
        // An average below the lowest code's next held the lowest code at least once.
        w.clipped.push_back(code < lowest + step || code > highest - step ? 1 : 0);
    }
    return w;
}

} // namespace qd::scope

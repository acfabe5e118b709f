#include "measure/Limits.h"

#include "control/DataWord.h"
#include "control/NearestName.h"
#include "measure/FigureKinds.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace qd::measure {

using control::formatCode;
using control::formatNumber;

namespace {

struct Bound {
    const FigureKind* kind;
    std::optional<Limit> Limits::*limit;
    bool dynamic = false; // judged on a scope's records, not on a sweep's figures
};

constexpr Bound kBounds[] = {
    {&kInlBestFit, &Limits::inl},
    {&kInlEndpoint, &Limits::inlEndpoint},
    {&kDnl, &Limits::dnl},
    {&kOffsetError, &Limits::offset},
    {&kGainError, &Limits::gain},
    {&kZeroCodeError, &Limits::zero},
    {&kFullScaleError, &Limits::fullScale},
    {&kSettlingTime, &Limits::settling, true},
    {&kSlewRate, &Limits::slew, true},
    {&kGlitchImpulse, &Limits::glitch, true},
    {&kGlitchImpulseAbs, &Limits::glitchAbs, true},
};

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value + 0.0);
    return text;
}

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::optional<double> numberOf(std::string_view text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// The bound a name given in any case names, or why there is none.
const Bound* boundNamed(std::string_view typed, std::string& why) {
    const std::string name = lowercase(typed);
    std::vector<std::string> names;
    for (const Bound& b : kBounds) {
        if (name == b.kind->limitKey || name == b.kind->name) {
            return &b;
        }
        names.emplace_back(b.kind->limitKey);
        names.emplace_back(b.kind->name);
    }
    std::string nearest = control::nearestName(name, names);
    if (nearest.empty()) {
        // A datasheet's column heading after the name: inl_max, offset_typ.
        for (const Bound& b : kBounds) {
            if (name.starts_with(std::string(b.kind->limitKey) + "_") &&
                nearest.size() < std::string_view(b.kind->limitKey).size()) {
                nearest = b.kind->limitKey;
            }
        }
    }
    why = "no figure '" + std::string(typed) + "'";
    why += nearest.empty() ? "; the figures are inl, inl_endpoint, dnl, offset, gain, zero, "
                             "fullscale, settling, slew, glitch and glitch_abs, or their names in "
                             "--json"
                           : "; did you mean '" + nearest + "'?";
    return nullptr;
}

// One figure's limit from its name and its one or two numbers, into
// `limits`; false, with why, when it cannot be.
bool add(Limits& limits, std::string_view name, const std::vector<std::string_view>& numbers,
         std::string& why) {
    const Bound* bound = boundNamed(name, why);
    if (!bound) {
        return false;
    }
    std::optional<Limit>& limit = limits.*(bound->limit);
    if (limit) {
        why = "'" + std::string(name) + "': " + bound->kind->limitKey + " is limited twice";
        return false;
    }
    std::string given;
    for (const auto n : numbers) {
        given += (given.empty() ? "" : " ") + std::string(n);
    }
    if (numbers.size() == 1) {
        const auto size = numberOf(numbers[0]);
        if (!size || !(*size > 0)) {
            why = std::string(bound->kind->limitKey) +
                  ": a bound on its size is a number above 0, not '" + given + "'";
            return false;
        }
        limit = Limit{-*size, *size, true};
        return true;
    }
    if (numbers.size() == 2) {
        const auto low = numberOf(numbers[0]);
        const auto high = numberOf(numbers[1]);
        if (!low || !high || !(*low < *high)) {
            why = std::string(bound->kind->limitKey) +
                  ": two numbers are its least and its largest value, the first below the "
                  "second, not '" +
                  given + "'";
            return false;
        }
        limit = Limit{*low, *high, false};
        return true;
    }
    why = std::string(bound->kind->limitKey) + ": take one number (a bound on its size, in " +
          bound->kind->unit + ") or two (its least and its largest value)";
    return false;
}

std::string limitWords(const Limit& limit, const char* unit) {
    return limit.size ? "the limit of " + formatNumber(limit.high) + " " + unit
                      : "the limits " + formatNumber(limit.low) + " to " +
                            formatNumber(limit.high) + " " + unit;
}

// What a bound judges, each with where it lies: a figure, or a per-code
// figure's least and largest value; nothing when it was not measured.
struct Judged {
    Figure figure;
    std::string where;
};

std::vector<Judged> judgedOf(const Figures& f, std::string_view name) {
    const auto span = [](const Span& s, const std::string& at) {
        return std::vector<Judged>{{s.min, at + formatCode(s.min.code)},
                                   {s.max, at + formatCode(s.max.code)}};
    };
    if (name == "inl") {
        return span(f.inlBestFit, " at code ");
    }
    if (name == "inl_endpoint") {
        return span(f.inlEndpoint, " at code ");
    }
    if (name == "dnl") {
        return f.steps.empty() ? std::vector<Judged>{} : span(f.dnl, " at the step up from code ");
    }
    const Figure& figure = name == "offset" ? f.offset
                           : name == "gain" ? f.gain
                           : name == "zero" ? f.zeroCode
                                            : f.fullScale;
    return {{figure, ""}};
}

// One figure against its limit, into the verdict.
void judgeOne(Verdict& v, const FigureKind& kind, const Limit& limit, const Figure& figure,
              const std::string& at) {
    const Decision d = decide(limit, figure);
    if (d == Decision::Fail) {
        v.decision = Decision::Fail;
        v.failures.push_back(std::string(kind.inMessage) + " " + number(figure.value) + " " +
                             kind.unit + at + " beyond " + limitWords(limit, kind.unit));
    } else if (d == Decision::Conditional) {
        v.decision = std::max(v.decision, Decision::Conditional);
        v.conditional.push_back(std::string(kind.inMessage) + " " + number(figure.value) + " ± " +
                                number(*figure.uncertainty) + " " + kind.unit + at + " straddles " +
                                limitWords(limit, kind.unit));
    }
}

} // namespace

std::optional<Limits> Limits::parse(std::string_view text, std::string& why) {
    Limits limits;
    while (!text.empty()) {
        const std::string_view item = text.substr(0, text.find(','));
        text.remove_prefix(std::min(text.size(), item.size() + 1));
        const auto eq = item.find('=');
        if (eq == std::string_view::npos) {
            why = "'" + std::string(item) +
                  "': take NAME=SIZE or NAME=LOW..HIGH, as in inl=2,dnl=1,offset=-1..2";
            return std::nullopt;
        }
        const std::string_view value = item.substr(eq + 1);
        const auto dots = value.find("..");
        std::vector<std::string_view> numbers = {value};
        if (dots != std::string_view::npos) {
            numbers = {value.substr(0, dots), value.substr(dots + 2)};
        }
        if (!add(limits, item.substr(0, eq), numbers, why)) {
            return std::nullopt;
        }
    }
    return limits;
}

std::optional<Limits> Limits::parseFile(std::string_view content, const std::string& file,
                                        std::string& why) {
    Limits limits;
    int line = 0;
    while (!content.empty()) {
        ++line;
        std::string_view text = content.substr(0, content.find('\n'));
        content.remove_prefix(std::min(content.size(), text.size() + 1));
        text = text.substr(0, text.find('#'));
        std::vector<std::string_view> words;
        while (true) {
            const auto from = text.find_first_not_of(" \t\r");
            if (from == std::string_view::npos) {
                break;
            }
            text.remove_prefix(from);
            const auto word = text.substr(0, text.find_first_of(" \t\r"));
            words.push_back(word);
            text.remove_prefix(word.size());
        }
        if (words.empty()) {
            continue;
        }
        if (!add(limits, words[0], {words.begin() + 1, words.end()}, why)) {
            why = file + ":" + std::to_string(line) + ": " + why;
            return std::nullopt;
        }
    }
    return limits;
}

std::string Limits::text() const {
    std::string out;
    for (const Bound& b : kBounds) {
        if (const auto& limit = this->*(b.limit)) {
            out += (out.empty() ? "" : ",") + std::string(b.kind->limitKey) + "=" +
                   (limit->size ? formatNumber(limit->high)
                                : formatNumber(limit->low) + ".." + formatNumber(limit->high));
        }
    }
    return out;
}

std::string readableLimits(std::string_view text) {
    std::string readable;
    for (const char c : text) {
        readable += c;
        if (c == ',') {
            readable += ' ';
        }
    }
    return readable;
}

const char* decisionWord(Decision decision) {
    switch (decision) {
    case Decision::Conditional:
        return "CONDITIONAL";
    case Decision::Fail:
        return "FAIL";
    case Decision::Pass:
        break;
    }
    return "PASS";
}

std::string decisionRuleText() {
    return "Decision rule (ILAC-G8): a figure passes when its value and its expanded "
           "uncertainty (about 95 %) lie within its limit either way, and fails when they lie "
           "beyond it either way, even with the uncertainty taken in the figure's favour; one "
           "whose uncertainty straddles the limit is CONDITIONAL, which fails the run unless "
           "conditional verdicts are accepted (--accept-conditional).";
}

Decision decide(const Limit& limit, const Figure& figure) {
    const double v = figure.value;
    const double u = figure.uncertainty.value_or(0);
    if (v + u < limit.low || v - u > limit.high) {
        return Decision::Fail;
    }
    return v - u < limit.low || v + u > limit.high ? Decision::Conditional : Decision::Pass;
}

Verdict judge(const Figures& figures, const Limits& limits, bool acceptConditional) {
    Verdict v;
    const auto fail = [&](std::string line) {
        v.decision = Decision::Fail;
        v.failures.push_back(std::move(line));
    };
    const auto settle = [&] {
        v.pass = v.decision == Decision::Pass ||
                 (v.decision == Decision::Conditional && acceptConditional);
        return v;
    };
    if (figures.response != Response::Follows) {
        fail(figures.response == Response::Flat
                 ? "the output stays flat whatever the code: are the meter's leads on the "
                   "board's output, and the board powered?"
                 : "the output falls as the code rises: are the meter's leads the right way "
                   "round?");
        return settle();
    }
    const Extreme& step = figures.smallestStep;
    const std::string where = " at the step up from code " + formatCode(step.code);
    if (figures.monotonic == Monotonic::No) {
        fail("not monotonic: the output falls by " + number(-step.value) + " LSB" + where);
    } else if (figures.monotonic == Monotonic::Unresolved) {
        const Extreme& unclear = figures.unresolvedStep;
        const std::string within =
            unclear.uncertainty
                ? " lies within its uncertainty (± " + number(*unclear.uncertainty) + " LSB) of 0"
                : " does not rise above 0";
        fail("monotonic not shown: a step of " + number(unclear.value) + " LSB" +
             " at the step up from code " + formatCode(unclear.code) + within +
             "; more --samples or a higher --nplc resolve it");
    }
    for (const Bound& b : kBounds) {
        const auto& limit = limits.*(b.limit);
        if (!limit || b.dynamic) {
            continue;
        }
        const auto judged = judgedOf(figures, b.kind->limitKey);
        if (judged.empty()) {
            fail(std::string(b.kind->inMessage) +
                 " not measured: the plan has no neighbouring codes");
        }
        for (const auto& [figure, at] : judged) {
            judgeOne(v, *b.kind, *limit, figure, at);
        }
    }
    return settle();
}

Verdict judge(const std::vector<KindFigure>& figures, const Limits& limits,
              bool acceptConditional) {
    Verdict v;
    for (const KindFigure& f : figures) {
        for (const Bound& b : kBounds) {
            if (b.kind == f.kind && limits.*(b.limit)) {
                judgeOne(v, *b.kind, *(limits.*(b.limit)), f.figure, "");
            }
        }
    }
    v.pass =
        v.decision == Decision::Pass || (v.decision == Decision::Conditional && acceptConditional);
    return v;
}

} // namespace qd::measure

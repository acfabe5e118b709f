#include "scpi/Parser.h"

#include "scpi/Errors.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace qd::scpi {

namespace {

bool isWhite(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

class MessageParser {
  public:
    explicit MessageParser(std::string_view text) : s_(text) {}

    ParsedMessage run() {
        ParsedMessage result;
        skipWhite();
        if (atEnd()) {
            return result;
        }
        while (true) {
            ProgramUnit unit;
            if (const int error = parseUnit(unit)) {
                result.error = error;
                return result;
            }
            result.units.push_back(std::move(unit));
            if (atEnd()) {
                return result;
            }
            ++pos_; // the ';' parseUnit stopped at
            skipWhite();
            if (atEnd()) {
                return result;
            }
        }
    }

    // Data elements separated by ',' or, between the answers of several
    // queries, ';'.
    ParsedResponse runResponse() {
        ParsedResponse result;
        skipWhite();
        while (!atEnd()) {
            Parameter parameter;
            if ((result.error = parseParameter(parameter)) != 0) {
                return result;
            }
            result.data.push_back(parameter);
            skipWhite();
            if (atEnd()) {
                break;
            }
            if (peek() != ',' && peek() != ';') {
                result.error = SyntaxError;
                return result;
            }
            ++pos_;
            skipWhite();
        }
        return result;
    }

  private:
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return s_[pos_]; }
    bool unitEnds() const { return atEnd() || peek() == ';'; }
    void skipWhite() {
        while (!atEnd() && isWhite(peek())) {
            ++pos_;
        }
    }
    std::size_t skipDigits() {
        const std::size_t start = pos_;
        while (!atEnd() && isDigit(peek())) {
            ++pos_;
        }
        return pos_ - start;
    }

    // A letter, then letters, digits and underscores; empty when there is none.
    std::string_view mnemonic() {
        const std::size_t start = pos_;
        if (atEnd() || !isAlpha(peek())) {
            return {};
        }
        while (!atEnd() && (isAlpha(peek()) || isDigit(peek()) || peek() == '_')) {
            ++pos_;
        }
        return s_.substr(start, pos_ - start);
    }

    // A mnemonic whose parts may be joined by '-' (three-state).
    std::string_view characterData() {
        const std::size_t start = pos_;
        while (!mnemonic().empty() && pos_ + 1 < s_.size() && peek() == '-' &&
               isAlpha(s_[pos_ + 1])) {
            ++pos_;
        }
        return s_.substr(start, pos_ - start);
    }

    // Leaves pos_ at the ';' that ends the unit, or at the end.
    int parseUnit(ProgramUnit& unit) {
        if (const int error = parseHeader(unit)) {
            return error;
        }
        if (unitEnds()) {
            return NoError;
        }
        if (!isWhite(peek())) {
            return SyntaxError;
        }
        skipWhite();
        if (unitEnds()) {
            return NoError;
        }
        while (true) {
            Parameter parameter;
            if (const int error = parseParameter(parameter)) {
                return error;
            }
            unit.parameters.push_back(parameter);
            skipWhite();
            if (unitEnds()) {
                return NoError;
            }
            if (peek() != ',') {
                return SyntaxError;
            }
            ++pos_;
            skipWhite();
        }
    }

    int parseHeader(ProgramUnit& unit) {
        if (!atEnd() && peek() == '*') {
            ++pos_;
            const std::string_view name = mnemonic();
            if (name.empty()) {
                return SyntaxError;
            }
            unit.common = true;
            unit.header.push_back(name);
            if (!atEnd() && peek() == '?') {
                ++pos_;
                unit.query = true;
            }
            return NoError;
        }
        const bool fromRoot = !atEnd() && peek() == ':';
        if (fromRoot) {
            ++pos_;
        }
        std::vector<std::string_view> nodes;
        if (!fromRoot) {
            nodes = path_;
        }
        while (true) {
            const std::string_view node = mnemonic();
            if (node.empty()) {
                return SyntaxError;
            }
            if (nodes.size() == kMaxHeaderNodes) {
                return UndefinedHeader;
            }
            nodes.push_back(node);
            if (atEnd() || peek() != ':') {
                break;
            }
            ++pos_;
        }
        if (!atEnd() && peek() == '?') {
            ++pos_;
            unit.query = true;
        }
        path_.assign(nodes.begin(), nodes.end() - 1);
        unit.header = std::move(nodes);
        return NoError;
    }

    int parseParameter(Parameter& p) {
        if (unitEnds()) {
            return SyntaxError; // nothing after a ','
        }
        const char c = peek();
        if (isDigit(c) || c == '+' || c == '-' || c == '.') {
            return parseDecimal(p);
        }
        if (c == '#') {
            if (pos_ + 1 >= s_.size()) {
                return SyntaxError;
            }
            const char kind = upper(s_[pos_ + 1]);
            if (kind == 'H' || kind == 'Q' || kind == 'B') {
                return parseNonDecimal(p);
            }
            if (isDigit(kind)) {
                return parseBlock(p);
            }
            return SyntaxError;
        }
        if (c == '"' || c == '\'') {
            return parseString(p);
        }
        if (isAlpha(c)) {
            p.kind = DataKind::Character;
            p.text = characterData();
            return NoError;
        }
        if (c == '(') {
            return CommandError; // expression data: no command takes any
        }
        return SyntaxError;
    }

    int parseDecimal(Parameter& p) {
        const std::size_t start = pos_;
        const bool negative = peek() == '-';
        if (peek() == '+' || peek() == '-') {
            ++pos_;
        }
        const std::size_t digitsStart = pos_;
        const std::size_t integerDigits = skipDigits();
        std::size_t fractionDigits = 0;
        if (!atEnd() && peek() == '.') {
            ++pos_;
            fractionDigits = skipDigits();
        }
        const std::size_t mantissaEnd = pos_;
        if (integerDigits + fractionDigits == 0) {
            return SyntaxError;
        }
        long long exponent = 0;
        if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
            ++pos_;
            const bool negativeExponent = !atEnd() && peek() == '-';
            if (!atEnd() && (peek() == '+' || peek() == '-')) {
                ++pos_;
            }
            const std::size_t exponentStart = pos_;
            if (skipDigits() == 0) {
                return SyntaxError;
            }
            for (std::size_t i = exponentStart; i < pos_ && exponent < 1'000'000'000; ++i) {
                exponent = exponent * 10 + (s_[i] - '0');
            }
            exponent = negativeExponent ? -exponent : exponent;
        }
        p.kind = DataKind::Decimal;
        // from_chars takes no '+' and never looks at the locale.
        const char* first = s_.data() + (s_[start] == '+' ? start + 1 : start);
        const char* last = s_.data() + pos_;
        const auto [end, ec] = std::from_chars(first, last, p.number);
        if (ec == std::errc::result_out_of_range) {
            // Overflow or underflow: which one, from the decimal exponent of
            // the first significant digit.
            std::size_t leading = 0;
            for (std::size_t i = digitsStart; i < mantissaEnd; ++i) {
                if (s_[i] == '.') {
                    continue;
                }
                if (s_[i] != '0') {
                    break;
                }
                ++leading;
            }
            const long long order = static_cast<long long>(integerDigits) - 1 -
                                    static_cast<long long>(leading) + exponent;
            const double magnitude = order > 0 ? std::numeric_limits<double>::infinity() : 0.0;
            p.number = negative ? -magnitude : magnitude;
        } else if (ec != std::errc() || end != last) {
            return SyntaxError;
        }
        // A suffix, right after the number or after white space.
        const std::size_t numberEnd = pos_;
        skipWhite();
        p.suffix = mnemonic();
        if (p.suffix.empty()) {
            pos_ = numberEnd;
        }
        p.text = s_.substr(start, pos_ - start);
        return NoError;
    }

    int parseNonDecimal(Parameter& p) {
        const std::size_t start = pos_;
        const char kind = upper(s_[pos_ + 1]);
        const int base = kind == 'H' ? 16 : kind == 'Q' ? 8 : 2;
        pos_ += 2;
        double value = 0.0;
        std::size_t digits = 0;
        while (!atEnd()) {
            const char c = upper(peek());
            int digit = -1;
            if (isDigit(c)) {
                digit = c - '0';
            } else if (c >= 'A' && c <= 'F') {
                digit = c - 'A' + 10;
            }
            if (digit < 0 || digit >= base) {
                break;
            }
            // Exact up to 2^53; beyond that only "far too large" matters,
            // and a double saturates at infinity without fault.
            value = value * base + digit;
            ++digits;
            ++pos_;
        }
        if (digits == 0) {
            return SyntaxError;
        }
        p.kind = DataKind::NonDecimal;
        p.number = value;
        p.text = s_.substr(start, pos_ - start);
        return NoError;
    }

    int parseBlock(Parameter& p) {
        const int lengthDigits = s_[pos_ + 1] - '0';
        pos_ += 2;
        p.kind = DataKind::Block;
        if (lengthDigits == 0) {
            // Indefinite length: the block runs to the end of the message.
            p.text = s_.substr(pos_);
            pos_ = s_.size();
            return NoError;
        }
        std::size_t length = 0;
        for (int i = 0; i < lengthDigits; ++i) {
            if (atEnd() || !isDigit(peek())) {
                return SyntaxError;
            }
            length = length * 10 + static_cast<std::size_t>(peek() - '0');
            ++pos_;
        }
        if (length > s_.size() - pos_) {
            return SyntaxError;
        }
        p.text = s_.substr(pos_, length);
        pos_ += length;
        return NoError;
    }

    int parseString(Parameter& p) {
        const std::size_t start = pos_;
        const char quote = peek();
        ++pos_;
        while (true) {
            if (atEnd()) {
                return SyntaxError;
            }
            const char c = s_[pos_++];
            if (c != quote) {
                continue;
            }
            if (!atEnd() && peek() == quote) {
                ++pos_; // a doubled quote stands for itself
                continue;
            }
            break;
        }
        p.kind = DataKind::String;
        p.text = s_.substr(start, pos_ - start);
        return NoError;
    }

    std::string_view s_;
    std::size_t pos_ = 0;
    std::vector<std::string_view> path_;
};

// The node pattern at the front of pattern ("SOURce", ":DAC", "[:LEVel]"):
// its mnemonic, whether it may be left out, and the pattern after it.
struct PatternNode {
    std::string_view mnemonic;
    bool optional = false;
    std::string_view rest;
};

PatternNode frontNode(std::string_view pattern) {
    PatternNode node;
    if (pattern.front() == '[') {
        const std::size_t close = pattern.find(']');
        node.optional = true;
        node.mnemonic = pattern.substr(1, close - 1);
        node.rest = pattern.substr(close + 1);
    } else {
        std::size_t end = pattern.find_first_of(":[", 1);
        end = end == std::string_view::npos ? pattern.size() : end;
        node.mnemonic = pattern.substr(0, end);
        node.rest = pattern.substr(end);
    }
    if (!node.mnemonic.empty() && node.mnemonic.front() == ':') {
        node.mnemonic.remove_prefix(1);
    }
    return node;
}

} // namespace

ParsedResponse parseResponse(std::string_view message) {
    return MessageParser(message).runResponse();
}

ParsedMessage parse(std::string_view message) {
    return MessageParser(message).run();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (upper(a[i]) != upper(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view shortForm(std::string_view longForm) {
    std::size_t shortLength = 0;
    while (shortLength < longForm.size() &&
           !(longForm[shortLength] >= 'a' && longForm[shortLength] <= 'z')) {
        ++shortLength;
    }
    return longForm.substr(0, shortLength);
}

bool matchesMnemonic(std::string_view longForm, std::string_view typed) {
    return equalsIgnoringCase(typed, shortForm(longForm)) || equalsIgnoringCase(typed, longForm);
}

bool matchesHeader(std::string_view pattern, std::span<const std::string_view> nodes) {
    if (pattern.empty()) {
        return nodes.empty();
    }
    const PatternNode node = frontNode(pattern);
    if (node.optional && matchesHeader(node.rest, nodes)) {
        return true;
    }
    return !nodes.empty() && matchesMnemonic(node.mnemonic, nodes.front()) &&
           matchesHeader(node.rest, nodes.subspan(1));
}

bool matchesCommand(std::string_view pattern, const ProgramUnit& unit) {
    if (pattern.front() == '*') {
        return unit.common && matchesMnemonic(pattern.substr(1), unit.header.front());
    }
    return !unit.common && matchesHeader(pattern, unit.header);
}

} // namespace qd::scpi

#include "control/Printable.h"

#include <cstdio>

namespace qd::control {

namespace {

bool isControl(unsigned c) {
    return c < 0x20 || c == 0x7f || (c >= 0x80 && c <= 0x9f);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The value of the two hex digits at `at`, or -1.
int byteAt(std::string_view text, std::size_t at) {
    if (at + 2 > text.size()) {
        return -1;
    }
    const int high = hexValue(text[at]), low = hexValue(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

} // namespace

std::string printable(std::string_view text, bool keepLines) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (keepLines && (c == '\n' || c == '\t')) {
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            out += escape;
        } else if (c == 0xc2 && i + 1 < text.size() &&
                   isControl(static_cast<unsigned char>(text[i + 1])) &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80) {
            std::snprintf(escape, sizeof escape, "\\u%04X",
                          static_cast<unsigned char>(text[i + 1]));
            out += escape;
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && text.substr(i + 1, 1) == "x") {
            const int value = byteAt(text, i + 2);
            if (value >= 0 && value < 0x80 && isControl(static_cast<unsigned>(value))) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        if (text[i] == '\\' && text.substr(i + 1, 3) == "u00") {
            const int value = byteAt(text, i + 4);
            if (value >= 0x80 && isControl(static_cast<unsigned>(value))) {
                out += static_cast<char>(0xc2);
                out += static_cast<char>(value);
                i += 5;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

} // namespace qd::control

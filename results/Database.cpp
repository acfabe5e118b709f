// What both engines share: a value as a person reads it, and as a number.

#include "results/Database.h"

#include <cstdio>

namespace qd::results {

std::string textOf(const Value& value) {
    if (const auto* n = std::get_if<std::int64_t>(&value)) {
        return std::to_string(*n);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", *d);
        return text;
    }
    if (const auto* t = std::get_if<std::string>(&value)) {
        return *t;
    }
    return {};
}

std::optional<double> numberOf(const Value& value) {
    if (const auto* n = std::get_if<std::int64_t>(&value)) {
        return static_cast<double>(*n);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        return *d;
    }
    if (const auto* t = std::get_if<std::string>(&value)) {
        try {
            return std::stod(*t);
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

std::string withoutPassword(const std::string& text) {
    std::string out = text;
    // user:PASSWORD@ after a scheme's "://"
    for (std::size_t scheme = out.find("://"); scheme != std::string::npos;
         scheme = out.find("://", scheme + 3)) {
        const std::size_t end = out.find_first_of("/?#", scheme + 3);
        const std::size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
        const std::size_t colon = out.find(':', scheme + 3);
        if (at != std::string::npos && at > scheme && colon < at) {
            out.erase(colon, at - colon);
        }
    }
    // password=PASSWORD among a URI's parameters or a connection string's
    for (std::size_t key = out.find("password="); key != std::string::npos;
         key = out.find("password=", key + 1)) {
        const std::size_t value = key + 9;
        const std::size_t end = out.find_first_of("& ", value);
        out.replace(value, (end == std::string::npos ? out.size() : end) - value, "***");
    }
    return out;
}

} // namespace qd::results

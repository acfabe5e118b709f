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

} // namespace qd::results

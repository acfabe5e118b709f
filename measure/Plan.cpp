#include "measure/Plan.h"

#include "control/DataWord.h"

#include <algorithm>
#include <exception>

namespace qd::measure {

FitRange fitRange(int bits) {
    const std::int32_t codes = std::int32_t{1} << bits;
    return {codes / 128, 127 * (codes / 128)};
}

std::optional<Plan> Plan::parse(std::string_view text) {
    if (text == "all") {
        return Plan{All, 1};
    }
    if (text == "fast") {
        return Plan{Fast, 1};
    }
    // Hexadecimal, as every other code is typed.
    std::int32_t every = 0;
    try {
        every = control::parseHexCode(text);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (every < 1) {
        return std::nullopt;
    }
    return Plan{Every, every};
}

std::string Plan::text() const {
    switch (kind) {
    case All:
        return "all";
    case Fast:
        return "fast";
    case Every:
        break;
    }
    return control::formatCode(every);
}

std::vector<std::int32_t> planCodes(int bits, const Plan& plan) {
    const std::int32_t largest = (std::int32_t{1} << bits) - 1;
    const FitRange fit = fitRange(bits);
    const std::vector<std::int32_t> first = {0, largest, fit.first, fit.last,
                                             std::int32_t{1} << (bits - 1)};
    std::vector<std::int32_t> codes = first;
    const auto grid = [&](std::int32_t step) {
        for (std::int32_t code = 0; code <= largest; code += step) {
            codes.push_back(code);
        }
    };
    switch (plan.kind) {
    case Plan::All:
        grid(1);
        break;
    case Plan::Every:
        grid(plan.every);
        break;
    case Plan::Fast: {
        // Where a converter's errors step: at the carry into each bit, the
        // larger ones at the carries into its top bits.
        for (int bit = 0; bit < bits; ++bit) {
            codes.push_back(std::int32_t{1} << bit);
            codes.push_back((std::int32_t{1} << bit) - 1);
        }
        const std::int32_t major = std::int32_t{1} << std::max(0, bits - 6);
        for (std::int32_t code = major; code <= largest; code += major) {
            codes.push_back(code - 1);
            codes.push_back(code);
        }
        grid(std::int32_t{1} << std::max(0, bits - 9));
        break;
    }
    }
    std::sort(codes.begin(), codes.end());
    codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
    codes.erase(std::remove_if(codes.begin(), codes.end(),
                               [&](std::int32_t code) {
                                   return std::find(first.begin(), first.end(), code) !=
                                          first.end();
                               }),
                codes.end());
    codes.insert(codes.begin(), first.begin(), first.end());
    return codes;
}

} // namespace qd::measure

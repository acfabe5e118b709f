#include "measure/Datasheet.h"

#include "measure/FigureKinds.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qd::measure {

const std::vector<DatasheetFigure> kDatasheetFigures = [] {
    std::vector<DatasheetFigure> figures;
    for (const FigureKind* k : {&kZeroCodeError, &kFullScaleError, &kOffsetError, &kGainError,
                                &kInlBestFit, &kInlEndpoint, &kDnl, &kSmallestStep, &kSettlingTime,
                                &kSlewRate, &kGlitchImpulse, &kGlitchImpulseAbs}) {
        if (k->perCode) {
            figures.push_back({std::string(k->name) + "_min", std::string(k->heading) + ", least",
                               k->unit, true});
            figures.push_back({std::string(k->name) + "_max", std::string(k->heading) + ", largest",
                               k->unit, true});
        } else {
            figures.push_back({k->name, k->heading, k->unit, k == &kSmallestStep});
        }
    }
    return figures;
}();

namespace {

std::optional<double> valueOf(const UnitFigures& u, const std::string& name) {
    const auto it = u.values.find(name);
    if (it == u.values.end() || !std::isfinite(it->second)) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<int> codeOf(const UnitFigures& u, const std::string& name) {
    const auto it = u.codes.find(name);
    return it == u.codes.end() ? std::nullopt : std::optional<int>(it->second);
}

std::string limitOf(const UnitFigures& u, const std::string& name) {
    const auto it = u.limits.find(name);
    return it == u.limits.end() ? std::string() : it->second;
}

} // namespace

std::string tallyText(const std::vector<std::string>& values, const char* none) {
    std::vector<std::pair<std::string, std::size_t>> order; // as first seen
    for (const std::string& v : values) {
        const std::string shown = v.empty() ? none : v;
        const auto it = std::find_if(order.begin(), order.end(),
                                     [&](const auto& o) { return o.first == shown; });
        if (it == order.end()) {
            order.emplace_back(shown, 1);
        } else {
            ++it->second;
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    std::string text;
    for (const auto& [value, n] : order) {
        text += (text.empty() ? "" : ", ") + value + " (" + std::to_string(n) +
                (n == 1 ? " unit)" : " units)");
    }
    return text;
}

std::vector<DatasheetRow> datasheetRows(const std::vector<UnitFigures>& units) {
    std::vector<DatasheetRow> rows;
    for (const DatasheetFigure& f : kDatasheetFigures) {
        DatasheetRow row;
        row.name = f.name;
        row.label = f.label;
        row.unit = f.unit;
        double sum = 0;
        std::vector<std::string> limits;
        for (std::size_t i = 0; i < units.size(); ++i) {
            const UnitFigures& u = units[i];
            const auto value = valueOf(u, f.name);
            row.perUnit.push_back(value.value_or(std::numeric_limits<double>::quiet_NaN()));
            row.perUnitLimit.push_back(limitOf(u, f.name));
            if (!value) {
                continue;
            }
            limits.push_back(row.perUnitLimit.back());
            if (row.units == 0 || *value < row.min) {
                row.min = *value;
                row.minUnit = i;
                row.minCode = f.perCode ? codeOf(u, f.name) : std::nullopt;
            }
            if (row.units == 0 || *value > row.max) {
                row.max = *value;
                row.maxUnit = i;
                row.maxCode = f.perCode ? codeOf(u, f.name) : std::nullopt;
            }
            sum += *value;
            ++row.units;
        }
        if (row.units == 0) {
            continue;
        }
        row.limitsDiffer = std::any_of(limits.begin(), limits.end(),
                                       [&](const auto& l) { return l != limits[0]; });
        row.limit = row.limitsDiffer ? "differ: " + tallyText(limits, "none") : limits.front();
        row.typ = sum / static_cast<double>(row.units);
        if (row.units > 1) {
            double squares = 0;
            for (const double v : row.perUnit) {
                if (!std::isnan(v)) {
                    squares += (v - row.typ) * (v - row.typ);
                }
            }
            row.sigma = std::sqrt(squares / static_cast<double>(row.units - 1));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace qd::measure

#include "measure/Datasheet.h"

#include "measure/FigureKinds.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qd::measure {

const std::vector<DatasheetFigure> kDatasheetFigures = [] {
    std::vector<DatasheetFigure> figures;
    for (const FigureKind* k : {&kZeroCodeError, &kFullScaleError, &kOffsetError, &kGainError,
                                &kInlBestFit, &kInlEndpoint, &kDnl, &kSmallestStep}) {
        figures.push_back({k->name, k->heading, k->unit, k->perCode});
    }
    return figures;
}();

namespace {

// A unit's value of a figure: INL and DNL as a datasheet's one number, the
// larger magnitude of the least and the largest.
std::optional<double> valueOf(const UnitFigures& u, const DatasheetFigure& f) {
    const auto find = [&](const std::string& name) -> std::optional<double> {
        const auto it = u.values.find(name);
        if (it == u.values.end() || !std::isfinite(it->second)) {
            return std::nullopt;
        }
        return it->second;
    };
    if (!f.magnitude) {
        return find(f.name);
    }
    const auto least = find(std::string(f.name) + "_min");
    const auto largest = find(std::string(f.name) + "_max");
    if (!least && !largest) {
        return std::nullopt;
    }
    return std::max(least ? std::fabs(*least) : 0.0, largest ? std::fabs(*largest) : 0.0);
}

std::string limitOf(const UnitFigures& u, const DatasheetFigure& f) {
    for (const std::string& name :
         {std::string(f.name), std::string(f.name) + "_max", std::string(f.name) + "_min"}) {
        if (const auto it = u.limits.find(name); it != u.limits.end() && !it->second.empty()) {
            return it->second;
        }
    }
    return {};
}

} // namespace

std::vector<DatasheetRow> datasheetRows(const std::vector<UnitFigures>& units) {
    std::vector<DatasheetRow> rows;
    for (const DatasheetFigure& f : kDatasheetFigures) {
        DatasheetRow row;
        row.name = f.name;
        row.label = f.label;
        row.unit = f.unit;
        double sum = 0;
        for (const UnitFigures& u : units) {
            const auto value = valueOf(u, f);
            row.perUnit.push_back(value.value_or(std::numeric_limits<double>::quiet_NaN()));
            if (!value) {
                continue;
            }
            row.min = row.units == 0 ? *value : std::min(row.min, *value);
            row.max = row.units == 0 ? *value : std::max(row.max, *value);
            sum += *value;
            ++row.units;
            if (row.limit.empty()) {
                row.limit = limitOf(u, f);
            }
        }
        if (row.units == 0) {
            continue;
        }
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

#include "run/LotDatasheet.h"

#include "control/Tables.h"
#include "measure/FigureKinds.h"
#include "run/Characterize.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace qd::run {

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

// The unit in the middle of the lot by its INL: what a datasheet's
// typical-performance curve shows.
std::size_t medianUnit(const Datasheet& d) {
    std::vector<std::pair<double, std::size_t>> order;
    for (const auto& row : d.rows) {
        if (row.name != measure::kInlBestFit.name) {
            continue;
        }
        for (std::size_t i = 0; i < row.perUnit.size(); ++i) {
            if (!std::isnan(row.perUnit[i]) && i < d.inl.size() && !d.inl[i].empty()) {
                order.emplace_back(row.perUnit[i], i);
            }
        }
    }
    if (order.empty()) {
        return 0;
    }
    std::sort(order.begin(), order.end());
    return order[(order.size() - 1) / 2].second;
}

report::PlotData curves(const Datasheet& d, const std::vector<report::Points>& each,
                        const char* title) {
    const std::size_t median = medianUnit(d);
    report::PlotData plot = report::plotOf(title, "LSB", 0, std::exp2(d.bits) - 1,
                                           median < each.size() ? each[median] : report::Points{});
    plot.name = "median unit (" + unitOf(d.runs[median]) + ")";
    plot.others = each;
    plot.othersName = "each unit";
    return plot;
}

report::PlotData byUnit(const Datasheet& d, const measure::DatasheetRow& row, const char* title) {
    report::Points points;
    for (std::size_t i = 0; i < row.perUnit.size(); ++i) {
        if (!std::isnan(row.perUnit[i])) {
            points.emplace_back(static_cast<double>(i + 1), row.perUnit[i]);
        }
    }
    report::PlotData plot =
        report::plotOf(title, row.unit, 0, static_cast<double>(d.units.size() + 1), points);
    plot.stems = true;
    plot.decimalX = true;
    plot.xName = "unit, in the table's order";
    plot.name = row.label;
    return plot;
}

// The units in each of a few equal bins from the least value to the largest.
report::PlotData histogram(const measure::DatasheetRow& row) {
    const std::size_t bins =
        std::max<std::size_t>(5, static_cast<std::size_t>(std::ceil(std::sqrt(row.units))));
    const double width = row.max > row.min ? (row.max - row.min) / static_cast<double>(bins)
                                           : std::max(std::fabs(row.min) * 0.01, 1e-9);
    const double from = row.max > row.min ? row.min : row.min - width * bins / 2.0;
    std::vector<double> counts(bins);
    for (const double v : row.perUnit) {
        if (!std::isnan(v)) {
            const auto bin = static_cast<std::size_t>(
                std::clamp(std::floor((v - from) / width), 0.0, static_cast<double>(bins - 1)));
            counts[bin] += 1;
        }
    }
    report::Points points;
    for (std::size_t b = 0; b < bins; ++b) {
        points.emplace_back(from + (static_cast<double>(b) + 0.5) * width, counts[b]);
    }
    report::PlotData plot = report::plotOf("Units by " + row.label, "units", from,
                                           from + width * static_cast<double>(bins), points);
    plot.xName = row.unit;
    plot.name = "units in each of " + std::to_string(bins) + " equal bins";
    plot.stems = true;
    plot.decimalX = true;
    plot.symmetric = false;
    plot.smallestScale = 1;
    return plot;
}

} // namespace

std::string unitOf(const results::Run& run) {
    if (const std::string serial = run.get("dut_serial"); !serial.empty()) {
        return serial;
    }
    const std::string board = run.get("board_serial");
    return board.empty() ? "run " + run.id().substr(0, 8) : "board " + board;
}

std::string unitKeyOf(const results::Run& run) {
    std::string key = unitOf(run);
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

Datasheet datasheetOf(results::Store& store, std::vector<results::Run> runs, bool withCurves) {
    Datasheet d;
    d.runs = std::move(runs);
    d.device = d.runs.front().get("device");
    for (const results::Run& run : d.runs) {
        if (run.get("device") != d.device) {
            d.device = "mixed converters";
        }
        measure::UnitFigures unit{unitOf(run), {}, {}};
        for (const results::Figure& f : store.figures(run.id())) {
            if (f.value) {
                unit.values[f.name] = *f.value;
            }
            unit.limits[f.name] = f.limit;
            if (f.name == "monotonic" && f.text == "yes") {
                ++d.monotonic;
            }
        }
        d.units.push_back(std::move(unit));
        if (withCurves) {
            if (const auto* device = control::findDevice(run.get("device"))) {
                d.bits = device->resolution;
            }
            report::Points inl, dnl;
            const auto figures = figuresOfStored(run, store.readings(run.id()));
            if (figures) {
                for (const auto& c : figures->codes) {
                    inl.emplace_back(c.code, c.inlBestFit);
                }
                for (const auto& s : figures->steps) {
                    dnl.emplace_back(s.code, s.dnl);
                }
            }
            d.inl.push_back(std::move(inl));
            d.dnl.push_back(std::move(dnl));
        }
    }
    d.rows = measure::datasheetRows(d.units);
    return d;
}

report::ReportData datasheetReport(const Datasheet& d) {
    report::ReportData r;
    r.title = d.device + " datasheet: electrical characteristics of " +
              std::to_string(d.units.size()) + (d.units.size() == 1 ? " unit" : " units");
    r.verdict = std::to_string(d.units.size()) + (d.units.size() == 1 ? " UNIT" : " UNITS");
    if (d.units.size() < measure::kTypicalUnits) {
        r.reasons = "typ and sigma need at least " + std::to_string(measure::kTypicalUnits) +
                    " units to mean something";
    }
    std::string units, runs;
    for (std::size_t i = 0; i < d.runs.size(); ++i) {
        units += (i ? ", " : "") + std::to_string(i + 1) + " " + unitOf(d.runs[i]);
        runs += (i ? ", " : "") + d.runs[i].id().substr(0, 8);
    }
    r.setup = {{"Units", units},
               {"Runs", runs},
               {"Shown monotonic",
                std::to_string(d.monotonic) + " of " + std::to_string(d.units.size()) + " units"},
               {"How", "typ is the mean and sigma the sample standard deviation (n - 1) across "
                       "units; INL and DNL count per unit as the larger magnitude of their least "
                       "and largest; the latest passing or failing characterization of each DUT"}};
    r.headings = {"Figure", "Typ", "Sigma", "Unit", "Min to max", "Limit", "Units"};
    for (const auto& row : d.rows) {
        r.figures.push_back({row.label, number(row.typ), row.sigma ? number(*row.sigma) : "",
                             row.unit, number(row.min) + " to " + number(row.max), row.limit,
                             std::to_string(row.units)});
    }
    if (!d.inl.empty()) {
        r.plots.push_back(curves(d, d.inl, "Best-fit INL of every unit"));
    }
    if (std::any_of(d.dnl.begin(), d.dnl.end(), [](const auto& p) { return !p.empty(); })) {
        report::PlotData dnl = curves(d, d.dnl, "DNL of every unit");
        r.plots.push_back(std::move(dnl));
    }
    for (const auto& row : d.rows) {
        if (row.name == measure::kOffsetError.name) {
            r.plots.push_back(byUnit(d, row, "Offset error by unit"));
        } else if (row.name == measure::kGainError.name) {
            r.plots.push_back(byUnit(d, row, "Gain error by unit"));
        }
    }
    for (const auto& row : d.rows) {
        r.plots.push_back(histogram(row));
    }
    r.footer = d.device + " datasheet from " + std::to_string(d.units.size()) + " units";
    return r;
}

} // namespace qd::run

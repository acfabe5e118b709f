#include "run/LotDatasheet.h"

#include "control/DataWord.h"
#include "control/Tables.h"
#include "measure/FigureKinds.h"
#include "measure/Limits.h"
#include "run/Characterize.h"
#include "run/Settings.h"
#include "scpi/Parser.h"
#include "session/ExitStatus.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string_view>

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

// A stored limit's lines: "2" bounds the size either way, "-1..5" a range.
std::vector<double> limitLines(const std::string& limit) {
    if (limit.empty()) {
        return {};
    }
    try {
        if (const auto dots = limit.find(".."); dots != std::string::npos) {
            return {std::stod(limit.substr(0, dots)), std::stod(limit.substr(dots + 2))};
        }
        const double size = std::stod(limit);
        return {-size, size};
    } catch (const std::exception&) {
        return {};
    }
}

// Every limit the lot's units were judged by for `row`, each line once.
std::vector<double> limitsOf(const measure::DatasheetRow& row) {
    std::set<double> lines;
    for (const std::string& limit : row.perUnitLimit) {
        for (const double line : limitLines(limit)) {
            lines.insert(line);
        }
    }
    return {lines.begin(), lines.end()};
}

report::PlotData byUnit(const Datasheet& d, const measure::DatasheetRow& row, const char* title) {
    report::Points points;
    for (std::size_t i = 0; i < row.perUnit.size(); ++i) {
        if (!std::isnan(row.perUnit[i])) {
            points.emplace_back(static_cast<double>(i + 1), row.perUnit[i]);
        }
    }
    report::PlotData plot =
        report::plotOf(title, row.unit, 0.5, static_cast<double>(d.units.size()) + 0.5, points);
    plot.bars = 0.5;
    plot.decimalX = true;
    plot.xName = "unit";
    // Serials under their bars while they fit side by side; beyond that the
    // units' numbers in the table's order.
    if (d.runs.size() <= 16) {
        for (const auto& run : d.runs) {
            plot.xLabels.push_back(unitOf(run));
        }
    } else {
        plot.xName = "unit, in the table's order";
    }
    plot.name = row.label;
    plot.limits = limitsOf(row);
    return plot;
}

// The units in each of a few equal bins from the least value to the
// largest, as whole counts from zero.
report::PlotData histogram(const measure::DatasheetRow& row) {
    const std::size_t bins =
        std::max<std::size_t>(5, static_cast<std::size_t>(std::ceil(std::sqrt(row.units))));
    const double width = row.max > row.min ? (row.max - row.min) / static_cast<double>(bins)
                                           : std::max(std::fabs(row.min) * 0.01, 1e-3);
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
    plot.bars = width * 0.9;
    plot.counts = true;
    plot.decimalX = true;
    plot.symmetric = false;
    plot.smallestScale = 1;
    // A limit beyond the lot's spread widens the axis to show it, and one
    // at its edge is drawn off the frame.
    plot.xLimits = limitsOf(row);
    if (!plot.xLimits.empty()) {
        plot.fromCode = std::min(plot.fromCode, plot.xLimits.front());
        plot.toCode = std::max(plot.toCode, plot.xLimits.back());
        const double margin = (plot.toCode - plot.fromCode) * 0.04;
        plot.fromCode -= margin;
        plot.toCode += margin;
    }
    return plot;
}

// A stored limit as the characterization's own report shows it: "≤ 2" for
// a size, "-1 to 5" for a range, so that a long one wraps in its cell.
std::string shownLimit(const std::string& limit) {
    if (limit.empty() || limit.starts_with("differ")) {
        return limit;
    }
    if (const auto dots = limit.find(".."); dots != std::string::npos) {
        return limit.substr(0, dots) + " to " + limit.substr(dots + 2);
    }
    return "≤ " + limit;
}

bool sameText(std::string_view a, std::string_view b) {
    return scpi::equalsIgnoringCase(a, b);
}

// A characterization that ran to its end has figures whatever its verdict.
bool counts(const results::Run& run) {
    const std::string verdict = run.get("verdict");
    return run.get("kind") == "characterize" &&
           (verdict == "PASS" || verdict == "FAIL" || verdict == "CONDITIONAL");
}

std::string whyNotCounted(const results::Run& run) {
    if (run.get("kind") != "characterize") {
        return "no characterization (" + run.get("kind") + ")";
    }
    if (run.get("verdict") == "INTERRUPTED") {
        return "interrupted";
    }
    if (run.get("ended").empty()) {
        return "not ended (cut off, or still measuring)";
    }
    return "no figures, it ended with status " + run.get("exit_status");
}

// The maker, model and serial of an *IDN? answer.
std::string meterNamed(const std::string& identity) {
    std::string name;
    std::size_t at = 0;
    for (int field = 0; field < 3 && at <= identity.size(); ++field) {
        const std::size_t comma = std::min(identity.find(',', at), identity.size());
        const std::string part = identity.substr(at, comma - at);
        if (!part.empty() && part != "0") {
            name += (name.empty() ? "" : " ") + part;
        }
        at = comma + 1;
    }
    return name;
}

std::string dateOf(const std::string& started) {
    return started.substr(0, std::min<std::size_t>(started.size(), 10));
}

// Each unit's dynamic runs that ended with figures, the latest of each
// measurement (a settling step, a glitch) first, by unit.
std::map<std::string, std::vector<results::Run>> dynamicRunsOf(results::Store& store,
                                                               const std::string& device) {
    results::Filter filter;
    filter.device = device;
    filter.kind = "dynamic";
    std::map<std::string, std::vector<results::Run>> byUnit;
    std::set<std::pair<std::string, std::string>> seen; // unit, measurement
    for (results::Run& run : store.runs(filter)) {
        const std::string plan = run.get("plan");
        const std::string measurement = plan.substr(0, plan.find(' '));
        if (!run.damaged.empty() || run.get("ended").empty() || run.get("verdict").empty() ||
            run.get("verdict") == "INTERRUPTED" ||
            !seen.insert({unitKeyOf(run), measurement}).second) {
            continue;
        }
        byUnit[unitKeyOf(run)].push_back(std::move(run));
    }
    return byUnit;
}

// A unit's dynamic figures beside its static ones, and the steps and bands
// they were measured at among the lot's conditions.
void addDynamicFigures(results::Store& store, const std::vector<results::Run>& runs,
                       measure::UnitFigures& unit, Datasheet& d) {
    for (const results::Run& run : runs) {
        for (const results::Figure& f : store.figures(run.id())) {
            if (f.value) {
                unit.values[f.name] = *f.value;
                unit.limits[f.name] = f.limit;
            }
        }
        d.dynamicPlans.push_back(run.get("plan"));
    }
}

void addConditions(Datasheet& d) {
    // Each run's settings, its setup document read once.
    std::vector<std::map<std::string, std::string>> stored;
    for (const results::Run& run : d.runs) {
        stored.push_back(storedSettings(run));
    }
    const auto each = [&](auto value) {
        std::vector<std::string> values;
        for (std::size_t i = 0; i < d.runs.size(); ++i) {
            values.push_back(value(d.runs[i], stored[i]));
        }
        return values;
    };
    const auto add = [&](const char* label, const std::vector<std::string>& values,
                         const char* none) {
        const bool differ = std::any_of(values.begin(), values.end(),
                                        [&](const std::string& v) { return v != values.front(); });
        d.conditions.push_back({label,
                                differ ? measure::tallyText(values, none)
                                : values.empty() || values.front().empty() ? std::string(none)
                                                                           : values.front(),
                                differ});
    };
    using Settings = std::map<std::string, std::string>;
    const auto setting = [&](const char* key) {
        return each([key](const results::Run&, const Settings& s) { return s.at(key); });
    };
    std::vector<std::string> dates =
        each([](const results::Run& r, const Settings&) { return r.get("started"); });
    std::sort(dates.begin(), dates.end());
    if (!dates.empty()) {
        const std::string first = dateOf(dates.front()), last = dateOf(dates.back());
        d.conditions.push_back(
            {"Measured", (first == last ? first : first + " to " + last) + " (UTC)"});
    }
    add("Station", each([](const results::Run& r, const Settings&) {
            const std::string station = r.get("station");
            return station.substr(0, std::min<std::size_t>(station.size(), 8));
        }),
        "none");
    add("Plan", setting("plan"), "not given");
    add("Samples per code", setting("samples"), "not given");
    add("NPLC", setting("nplc"), "not given");
    add("Settling (ms)", setting("settle_ms"), "not given");
    add("Reference (V)", setting("reference_v"), "not given");
    add("Meters", each([](const results::Run&, const Settings& s) {
            const std::string& resource = s.at("meter_resource");
            if (resource.empty() || resource == "on-board") {
                return std::string("the board's own converter");
            }
            const std::string& calibrated = s.at("meter_calibration");
            return meterNamed(s.at("meter_idn")) + (calibrated.empty()
                                                        ? ", calibration date not given"
                                                        : ", calibrated " + calibrated);
        }),
        "not given");
    add("Operator", setting("operator"), "not given");
    add("Temperature", setting("temperature"), "not given");
    add("qdctl", setting("qdctl_version"), "not given");
    add("Limits", each([](const results::Run&, const Settings& s) {
            return measure::readableLimits(s.at("limits"));
        }),
        "none");
    if (!d.dynamicPlans.empty()) {
        d.conditions.push_back({"Dynamic", measure::tallyText(d.dynamicPlans, "none"), false});
    }
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

std::string stationNamed(results::Store& store, results::Filter filter, const std::string& asked,
                         const std::string& option) {
    using session::BadArguments;
    using session::Failure;
    std::set<std::string> found;
    for (const results::Run& run : store.runs(filter)) {
        const std::string station = run.get("station");
        if (station.empty() || station.size() < asked.size() ||
            !sameText(std::string_view(station).substr(0, asked.size()), asked)) {
            continue;
        }
        if (asked.empty()) {
            return station;
        }
        found.insert(station);
    }
    if (found.size() == 1) {
        return *found.begin();
    }
    if (found.empty() && asked.empty()) {
        throw Failure(BadArguments, option + ": no station's run is recorded in " + store.name());
    }
    if (found.empty()) {
        throw Failure(BadArguments, option + " " + asked +
                                        ": no station's run starting so is recorded in " +
                                        store.name());
    }
    throw Failure(BadArguments, option + " " + asked + " starts " + std::to_string(found.size()) +
                                    " stations' ids; give more of it");
}

namespace {

// The runs `choice` names, the latest first: those given by id, each of
// which must have run to its end, or the store's characterizations chosen.
std::vector<results::Run> chosenRuns(results::Store& store, const LotChoice& choice) {
    using session::BadArguments;
    using session::Failure;
    std::vector<results::Run> runs;
    if (choice.runs.empty()) {
        results::Filter filter;
        filter.kind = "characterize";
        filter.device = choice.device;
        filter.since = choice.since;
        if (choice.station) {
            filter.station = stationNamed(store, filter, choice.stationRun, "--station-run");
        }
        return store.runs(filter);
    }
    for (const std::string& id : choice.runs) {
        results::Run run = store.find(id);
        if (!counts(run)) {
            throw Failure(BadArguments,
                          "run " + run.id() +
                              " is no characterization that ran to its end: " + whyNotCounted(run));
        }
        runs.push_back(std::move(run));
    }
    std::sort(runs.begin(), runs.end(),
              [](const auto& a, const auto& b) { return a.get("started") > b.get("started"); });
    return runs;
}

// A lot is one converter's, and has a unit.
void refuseNoLot(results::Store& store, const LotChoice& choice, const Lot& lot) {
    using session::BadArguments;
    using session::Failure;
    std::set<std::string> converters;
    for (const results::Run& run : lot.runs) {
        converters.insert(run.get("device"));
    }
    if (converters.size() > 1) {
        std::string names;
        for (const std::string& c : converters) {
            names += (names.empty() ? "" : ", ") + c;
        }
        throw Failure(BadArguments,
                      "the runs selected are of " + names +
                          ": a datasheet is one converter's; choose it with --device");
    }
    if (lot.runs.empty()) {
        std::string why = "no characterization that ran to its end";
        if (!choice.verdict.empty()) {
            why += " with the verdict " + choice.verdict;
        }
        if (!lot.leftOut.empty()) {
            why += " (" + std::to_string(lot.leftOut.size()) +
                   (lot.leftOut.size() == 1 ? " unit's run" : " units' runs") + " did not)";
        }
        throw Failure(BadArguments, why + " is selected in " + store.name() +
                                        "; qdctl runs list --kind characterize shows them");
    }
}

} // namespace

Lot lotOf(results::Store& store, const LotChoice& choice) {
    Lot lot;
    const std::vector<results::Run> runs = chosenRuns(store, choice);
    // The latest run of each unit that ran to its end: a unit measured again
    // is the same unit, however its serial's letters were typed, and a run
    // given no DUT serial is its board's unit. A unit with none is named.
    std::set<std::string> counted;
    std::map<std::string, const results::Run*> uncounted;
    std::vector<std::string> uncountedOrder;
    for (const results::Run& run : runs) {
        const std::string key = unitKeyOf(run);
        if (counted.contains(key)) {
            continue;
        }
        if (!counts(run)) {
            if (uncounted.emplace(key, &run).second) {
                uncountedOrder.push_back(key);
            }
            continue;
        }
        counted.insert(key);
        if (!choice.verdict.empty() && !sameText(run.get("verdict"), choice.verdict)) {
            ++lot.otherVerdicts;
            continue;
        }
        lot.runs.push_back(run);
    }
    for (const std::string& key : uncountedOrder) {
        if (!counted.contains(key)) {
            const results::Run& run = *uncounted.at(key);
            lot.leftOut.push_back({unitOf(run), run.id(), whyNotCounted(run)});
        }
    }
    refuseNoLot(store, choice, lot);
    std::sort(lot.runs.begin(), lot.runs.end(),
              [](const auto& a, const auto& b) { return unitOf(a) < unitOf(b); });
    return lot;
}

Datasheet datasheetOf(results::Store& store, Lot lot, const LotChoice& choice, bool withCurves) {
    Datasheet d;
    d.runs = std::move(lot.runs);
    d.leftOut = std::move(lot.leftOut);
    d.otherVerdicts = lot.otherVerdicts;
    d.verdictAsked = choice.verdict;
    d.device = d.runs.front().get("device");
    const std::map<std::string, std::vector<results::Run>> dynamic = dynamicRunsOf(store, d.device);
    for (const results::Run& run : d.runs) {
        measure::UnitFigures unit{unitOf(run), {}, {}, {}};
        if (const auto it = dynamic.find(unitKeyOf(run)); it != dynamic.end()) {
            addDynamicFigures(store, it->second, unit, d);
        }
        for (const results::Figure& f : store.figures(run.id())) {
            if (f.value) {
                unit.values[f.name] = *f.value;
            }
            if (f.code) {
                unit.codes[f.name] = *f.code;
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
    addConditions(d);
    return d;
}

std::string countsText(const Datasheet& d) {
    std::string text = std::to_string(d.units.size()) + (d.units.size() == 1 ? " unit" : " units");
    std::string verdicts;
    for (const char* verdict : {"PASS", "FAIL", "CONDITIONAL"}) {
        const auto n = std::count_if(d.runs.begin(), d.runs.end(),
                                     [&](const auto& r) { return r.get("verdict") == verdict; });
        if (n > 0) {
            verdicts += (verdicts.empty() ? "" : ", ") + std::to_string(n) + " " + verdict;
        }
    }
    text += ": " + verdicts;
    if (!d.verdictAsked.empty() && d.otherVerdicts > 0) {
        text += "; " + std::to_string(d.otherVerdicts) + " of another verdict not asked for";
    }
    if (!d.leftOut.empty()) {
        text += "; left out " + std::to_string(d.leftOut.size()) + ":";
        for (std::size_t i = 0; i < d.leftOut.size(); ++i) {
            text += std::string(i ? "," : "") + " " + d.leftOut[i].unit + " (run " +
                    d.leftOut[i].run.substr(0, 8) + ", " + d.leftOut[i].why + ")";
        }
    }
    return text;
}

std::string whereText(const Datasheet& d, const measure::DatasheetRow& row, bool largest) {
    const std::size_t unit = largest ? row.maxUnit : row.minUnit;
    const std::optional<int> code = largest ? row.maxCode : row.minCode;
    std::string text = unit < d.runs.size() ? unitOf(d.runs[unit]) : "";
    if (code) {
        text += " at " + control::formatCode(*code);
    }
    return text;
}

report::ReportData datasheetReport(const Datasheet& d) {
    report::ReportData r;
    r.title = d.device + " datasheet: electrical characteristics of " +
              std::to_string(d.units.size()) + (d.units.size() == 1 ? " unit" : " units");
    r.verdict = std::to_string(d.units.size()) + (d.units.size() == 1 ? " UNIT" : " UNITS");
    r.reasons = countsText(d);
    if (d.units.size() < measure::kTypicalUnits) {
        r.reasons += "; typ and sigma need at least " + std::to_string(measure::kTypicalUnits) +
                     " units to mean something";
    }
    std::string units, runs;
    for (std::size_t i = 0; i < d.runs.size(); ++i) {
        units += (i ? ", " : "") + std::to_string(i + 1) + " " + unitOf(d.runs[i]) + " " +
                 d.runs[i].get("verdict");
        runs += (i ? ", " : "") + d.runs[i].id().substr(0, 8);
    }
    r.setup = {{"Units", units}, {"Runs", runs}};
    for (const LeftOut& l : d.leftOut) {
        r.setup.emplace_back("Left out", l.unit + " (run " + l.run.substr(0, 8) + "): " + l.why);
    }
    for (const auto& c : d.conditions) {
        r.setup.emplace_back(c.label, c.differ ? "differ: " + c.value : c.value);
    }
    r.setup.emplace_back("Shown monotonic", std::to_string(d.monotonic) + " of " +
                                                std::to_string(d.units.size()) + " units");
    r.setup.emplace_back(
        "How", "typ is the mean and sigma the sample standard deviation (n - 1) across units; "
               "INL and DNL as each unit's least and largest, signed; the latest "
               "characterization of each unit that ran to its end, whatever its verdict");
    r.setup.emplace_back("Decision rule", measure::decisionRuleText());
    r.headings = {"Figure", "Typ", "Sigma", "Unit", "Min to max", "Limit", "Units"};
    for (const auto& row : d.rows) {
        r.figures.push_back({row.label, number(row.typ), row.sigma ? number(*row.sigma) : "",
                             row.unit,
                             number(row.min) + " (" + whereText(d, row, false) + ") to " +
                                 number(row.max) + " (" + whereText(d, row, true) + ")",
                             shownLimit(row.limit), std::to_string(row.units)});
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
    // Each printed page carries what a reviewer signs, whatever page is
    // copied out of the document.
    r.footer = d.device + " datasheet, " + countsText(d);
    for (const auto& c : d.conditions) {
        if (c.differ ||
            (c.label != "Plan" && c.label != "Reference (V)" && c.label != "Settling (ms)")) {
            r.footer += "; " + c.label + (c.differ ? " differ: " : ": ") + c.value;
        }
    }
    r.footer += "; decision rule ILAC-G8 (page 1)";
    return r;
}

} // namespace qd::run

// qdctl datasheet: the electrical-characteristics table of a lot, from the
// characterizations in the results store, one unit each.

#include "measure/Datasheet.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "results/Store.h"
#include "run/LotDatasheet.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "scpi/Parser.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <string_view>

namespace qd::qdctl {

using run::Datasheet;
using run::datasheetOf;
using run::datasheetReport;
using run::Recording;
using run::Renderer;
using run::ResultsFile;
using run::unitKeyOf;
using run::unitOf;

using session::BadArguments;
using session::CommonOptions;
using session::Failure;

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

struct DatasheetOptions {
    std::string device, since, report, csv;
    std::vector<std::string> runs;
    std::string stationRun;
    bool station = false; // --station-run, with or without its ID
};

// A passing or failing characterization: a run that did not end, or ended
// with figures judged neither way, says nothing of the unit for certain.
bool judged(const results::Run& run) {
    const std::string verdict = run.get("verdict");
    return run.get("kind") == "characterize" && (verdict == "PASS" || verdict == "FAIL");
}

// The station `asked` names: the latest one for "", else the one station
// whose id starts so, as runs show takes a run's id.
std::string stationNamed(results::Store& store, results::Filter filter, const std::string& asked) {
    std::set<std::string> found;
    for (const results::Run& run : store.runs(filter)) {
        const std::string station = run.get("station");
        if (station.empty() || station.size() < asked.size() ||
            !scpi::equalsIgnoringCase(std::string_view(station).substr(0, asked.size()), asked)) {
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
        throw Failure(BadArguments,
                      "--station-run: no station's run is recorded in " + store.name());
    }
    if (found.empty()) {
        throw Failure(BadArguments, "--station-run " + asked +
                                        ": no station's run starting so is recorded in " +
                                        store.name());
    }
    throw Failure(BadArguments, "--station-run " + asked + " starts " +
                                    std::to_string(found.size()) +
                                    " stations' ids; give more of it");
}

std::vector<results::Run> selected(results::Store& store, const DatasheetOptions& o) {
    std::vector<results::Run> runs;
    if (!o.runs.empty()) {
        for (const std::string& id : o.runs) {
            results::Run run = store.find(id);
            if (!judged(run)) {
                throw Failure(BadArguments, "run " + run.id() +
                                                " is no passing or failing "
                                                "characterization");
            }
            runs.push_back(std::move(run));
        }
        std::sort(runs.begin(), runs.end(),
                  [](const auto& a, const auto& b) { return a.get("started") > b.get("started"); });
    } else {
        results::Filter filter;
        filter.kind = "characterize";
        filter.device = o.device;
        filter.since = o.since;
        if (o.station) {
            filter.station = stationNamed(store, filter, o.stationRun);
        }
        runs = store.runs(filter);
        std::erase_if(runs, [](const results::Run& run) { return !judged(run); });
    }
    // The latest of each unit: a unit measured again is the same unit,
    // however its serial's letters were typed; a run given no DUT serial
    // is its board's unit.
    std::set<std::string> seen;
    std::erase_if(runs,
                  [&](const results::Run& run) { return !seen.insert(unitKeyOf(run)).second; });
    std::set<std::string> converters;
    for (const results::Run& run : runs) {
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
    if (runs.empty()) {
        throw Failure(BadArguments,
                      "no passing or failing characterization in " + store.name() +
                          " is selected; qdctl runs list --kind characterize shows them");
    }
    std::sort(runs.begin(), runs.end(),
              [](const auto& a, const auto& b) { return unitOf(a) < unitOf(b); });
    return runs;
}

std::string csvText(const std::vector<measure::DatasheetRow>& rows) {
    std::string text;
    for (const auto& row : rows) {
        text += row.name + "," + std::to_string(row.units) + "," + number(row.min) + "," +
                number(row.typ) + "," + number(row.max) + "," +
                (row.sigma ? number(*row.sigma) : std::string()) + "," + row.unit + ",\"" +
                row.limit + "\"\n";
    }
    return text;
}

std::string tableText(const Datasheet& d) {
    std::vector<std::vector<std::string>> table = {
        {"figure", "units", "min", "typ", "max", "sigma", "unit", "limit"}};
    for (const auto& row : d.rows) {
        table.push_back({row.name, std::to_string(row.units), number(row.min), number(row.typ),
                         number(row.max), row.sigma ? number(*row.sigma) : "-", row.unit,
                         row.limit.empty() ? "-" : row.limit});
    }
    return d.device + " datasheet: " + std::to_string(d.units.size()) +
           (d.units.size() == 1 ? " unit" : " units") + ", shown monotonic " +
           std::to_string(d.monotonic) + " of " + std::to_string(d.units.size()) + "\n" +
           columnsText(table);
}

QJsonObject datasheetJson(const Datasheet& d) {
    QJsonObject figures;
    for (const auto& row : d.rows) {
        QJsonObject f{{"units", static_cast<qint64>(row.units)},
                      {"min", row.min},
                      {"typ", row.typ},
                      {"max", row.max},
                      {"sigma", row.sigma ? QJsonValue(*row.sigma) : QJsonValue(QJsonValue::Null)},
                      {"unit", q(row.unit)}};
        if (!row.limit.empty()) {
            f.insert("limit", q(row.limit));
        }
        figures.insert(q(row.name), f);
    }
    QJsonArray runs, units;
    for (const auto& run : d.runs) {
        runs.append(q(run.id()));
        units.append(q(unitOf(run)));
    }
    return {{"units", static_cast<qint64>(d.units.size())},
            {"serials", units},
            {"runs", runs},
            {"monotonic", static_cast<qint64>(d.monotonic)},
            {"figures", figures}};
}

class DatasheetCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description(
            "The electrical-characteristics table of a lot from the characterizations in the "
            "results store (--results, $QD_RESULTS, or results.sqlite in the user's data folder): "
            "the latest passing or failing run of each DUT serial, and for each figure the units "
            "measured, min, typ (the mean), max, sigma and the limit. INL and DNL count per unit "
            "as the larger magnitude of their least and largest.");
        app.add_option("--device", o_.device, "only this converter");
        app.add_option("--since", o_.since, "only runs started since, e.g. 2026-12-01");
        app.add_option("--runs", o_.runs, "these runs, by id or an unambiguous prefix of one");
        app.add_option("--station-run", o_.stationRun,
                       "the runs of a station (characterize --station): by its id, or the last "
                       "station's without one")
            ->expected(0, 1);
        app.add_option("--csv", o_.csv, "the table as CSV, - for standard output");
        app.add_option("--report", o_.report,
                       "the datasheet's pages: NAME.pdf or NAME.html (the table, INL and DNL of "
                       "every unit, a histogram per figure, offset and gain error by unit)");
        app.footer(footer("  qdctl datasheet --station-run --report lot7.pdf\n"
                          "  qdctl datasheet --device QD1600 --since 2026-12-01 --json"));
        // Whether --station-run was given, even without its ID, is known
        // only while the parser lives.
        CLI::Option* station = app.get_option("--station-run");
        app.parse_complete_callback([this, station] { o_.station = station->count() > 0; });
    }

    void check() const override {
        if (!o_.runs.empty() && (!o_.device.empty() || !o_.since.empty() || o_.station)) {
            throw Failure(BadArguments, "--runs names the runs itself: it takes no --device, "
                                        "--since or --station-run");
        }
        if (!o_.report.empty() && !o_.report.ends_with(".pdf") && !o_.report.ends_with(".html")) {
            throw Failure(BadArguments, "--report takes NAME.pdf or NAME.html");
        }
    }

    int run(const CommonOptions& common, run::Recording&) override {
        // Refused before the store is read: neither may be written over.
        const run::KeptFiles kept = run::keptFilesOf(common);
        if (!o_.csv.empty() && o_.csv != "-") {
            run::checkOutputFile("--csv", o_.csv, kept, {});
        }
        if (!o_.report.empty()) {
            run::checkOutputFile("--report", o_.report, kept, {{"--csv", &o_.csv}});
        }
        Datasheet d;
        std::vector<results::Run> runs;
        try {
            const auto store = Recording::storeToRead(common);
            runs = selected(*store, o_);
            d = datasheetOf(*store, runs, !o_.report.empty());
        } catch (const results::StoreError& e) {
            throw Failure(session::WriteFailed, std::string("results store: ") + e.what());
        }
        if (d.units.size() < measure::kTypicalUnits) {
            session::writeMessage(
                "typ and sigma need at least " + std::to_string(measure::kTypicalUnits) +
                " units to mean something; " + std::to_string(d.units.size()) + " measured");
        }
        if (!o_.csv.empty()) {
            ResultsFile csv(o_.csv, "figure,units,min,typ,max,sigma,unit,limit\n");
            csv.write(csvText(d.rows));
            csv.commit();
        }
        if (!o_.report.empty()) {
            Renderer().write(datasheetReport(d), o_.report,
                             o_.report.ends_with(".pdf") ? "pdf" : "html", false);
        }
        if (common.json) {
            writeJson(datasheetJson(d));
        } else if (o_.csv != "-") {
            session::writeStandardOutput(tableText(d));
        }
        return tellDamaged(runs, session::Ok);
    }

  private:
    DatasheetOptions o_;
};

} // namespace

std::unique_ptr<Subcommand> makeDatasheetCommand() {
    return std::make_unique<DatasheetCommand>();
}

} // namespace qd::qdctl

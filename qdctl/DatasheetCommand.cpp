// qdctl datasheet: the electrical-characteristics table of a lot, from the
// characterizations in the results store, one unit each.

#include "control/DataWord.h"
#include "measure/Datasheet.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "results/Store.h"
#include "run/LotDatasheet.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

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
    run::LotChoice lot;
    std::string report, csv;
};

// A CSV field, quoted when it holds what would split it.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

std::string codeText(const std::optional<int>& code) {
    return code ? control::formatCode(*code) : std::string();
}

std::string unitAt(const Datasheet& d, std::size_t unit) {
    return unit < d.runs.size() ? unitOf(d.runs[unit]) : std::string();
}

std::string csvText(const Datasheet& d) {
    std::string text;
    for (const auto& row : d.rows) {
        text += row.name + "," + std::to_string(row.units) + "," + number(row.min) + "," +
                number(row.typ) + "," + number(row.max) + "," +
                (row.sigma ? number(*row.sigma) : std::string()) + "," + row.unit + "," +
                csvField(row.limit) + "," + csvField(unitAt(d, row.minUnit)) + "," +
                codeText(row.minCode) + "," + csvField(unitAt(d, row.maxUnit)) + "," +
                codeText(row.maxCode) + "\n";
    }
    return text;
}

std::string tableText(const Datasheet& d) {
    std::vector<std::vector<std::string>> table = {
        {"figure", "units", "min", "typ", "max", "sigma", "unit", "limit", "min in", "max in"}};
    for (const auto& row : d.rows) {
        table.push_back({row.name, std::to_string(row.units), number(row.min), number(row.typ),
                         number(row.max), row.sigma ? number(*row.sigma) : "-", row.unit,
                         row.limit.empty() ? "-" : row.limit, run::whereText(d, row, false),
                         run::whereText(d, row, true)});
    }
    std::string text = d.device + " datasheet: " + run::countsText(d) + "; shown monotonic " +
                       std::to_string(d.monotonic) + " of " + std::to_string(d.units.size()) + "\n";
    for (const auto& c : d.conditions) {
        if (c.differ) {
            text += c.label + " differ: " + c.value + "\n";
        }
    }
    return text + columnsText(table);
}

QJsonObject datasheetJson(const Datasheet& d) {
    QJsonObject figures;
    for (const auto& row : d.rows) {
        QJsonObject f{{"units", static_cast<qint64>(row.units)},
                      {"min", row.min},
                      {"typ", row.typ},
                      {"max", row.max},
                      {"sigma", row.sigma ? QJsonValue(*row.sigma) : QJsonValue(QJsonValue::Null)},
                      {"unit", q(row.unit)},
                      {"min_unit", q(unitAt(d, row.minUnit))},
                      {"max_unit", q(unitAt(d, row.maxUnit))}};
        if (row.minCode) {
            f.insert("min_code", q(codeText(row.minCode)));
        }
        if (row.maxCode) {
            f.insert("max_code", q(codeText(row.maxCode)));
        }
        if (!row.limit.empty()) {
            f.insert("limit", q(row.limit));
        }
        if (row.limitsDiffer) {
            f.insert("limits_differ", true);
        }
        figures.insert(q(row.name), f);
    }
    QJsonArray runs, units, leftOut;
    QJsonObject verdicts;
    for (const auto& run : d.runs) {
        runs.append(q(run.id()));
        units.append(q(unitOf(run)));
        const QString verdict = q(run.get("verdict"));
        verdicts.insert(verdict, verdicts.value(verdict).toInt() + 1);
    }
    for (const run::LeftOut& l : d.leftOut) {
        leftOut.append(QJsonObject{{"unit", q(l.unit)}, {"run", q(l.run)}, {"why", q(l.why)}});
    }
    QJsonObject conditions;
    QJsonArray differing;
    for (const auto& c : d.conditions) {
        conditions.insert(q(c.label), q(c.value));
        if (c.differ) {
            differing.append(q(c.label));
        }
    }
    return {{"units", static_cast<qint64>(d.units.size())},
            {"serials", units},
            {"runs", runs},
            {"verdicts", verdicts},
            {"left_out", leftOut},
            {"conditions", conditions},
            {"conditions_differ", differing},
            {"monotonic", static_cast<qint64>(d.monotonic)},
            {"figures", figures}};
}

class DatasheetCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description(
            "The electrical-characteristics table of a lot from the characterizations in the "
            "results store (--results, $QD_RESULTS, or results.sqlite in the user's data folder): "
            "the latest run of each unit that ran to its end, whatever its verdict, and for each "
            "figure the units measured, min, typ (the mean), max, sigma, the limit and the unit "
            "(and code) where the min and the max fall. INL and DNL are given as each unit's "
            "least and largest, signed. Units whose runs did not end are named as left out.");
        app.add_option("--device", o_.lot.device, "only this converter");
        app.add_option("--since", o_.lot.since, "only runs started since, e.g. 2026-12-01")
            ->transform(sinceOption());
        app.add_option("--verdict", o_.lot.verdict,
                       "only units whose latest run has this verdict: PASS, FAIL or CONDITIONAL")
            ->transform(CLI::IsMember({"PASS", "FAIL", "CONDITIONAL"}, CLI::ignore_case));
        app.add_option("--runs", o_.lot.runs, "these runs, by id or an unambiguous prefix of one");
        app.add_option("--station-run", o_.lot.stationRun,
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
        app.parse_complete_callback([this, station] { o_.lot.station = station->count() > 0; });
    }

    void check() const override {
        if (!o_.lot.runs.empty() &&
            (!o_.lot.device.empty() || !o_.lot.since.empty() || o_.lot.station)) {
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
            run::Lot lot = run::lotOf(*store, o_.lot);
            runs = lot.runs;
            d = datasheetOf(*store, std::move(lot), o_.lot, !o_.report.empty());
        } catch (const results::UnknownRun& e) {
            throw Failure(BadArguments, std::string("--runs: ") + e.what());
        } catch (const results::StoreError& e) {
            throw Failure(session::WriteFailed, std::string("results store: ") + e.what());
        }
        if (d.units.size() < measure::kTypicalUnits) {
            session::writeMessage(
                "typ and sigma need at least " + std::to_string(measure::kTypicalUnits) +
                " units to mean something; " + std::to_string(d.units.size()) + " measured");
        }
        if (!o_.csv.empty()) {
            ResultsFile csv(o_.csv, "figure,units,min,typ,max,sigma,unit,limit,min_unit,min_code,"
                                    "max_unit,max_code\n");
            csv.write(csvText(d));
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

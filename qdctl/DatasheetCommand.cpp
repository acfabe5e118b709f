// qdctl datasheet: the electrical-characteristics table of a lot, from the
// characterizations in the results store, one unit each.

#include "control/DataWord.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "run/DatasheetOutput.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>
#include <QJsonObject>
#include <optional>

namespace qd::qdctl {

using run::Datasheet;
using run::unitAt;
using run::unitOf;

using session::CommonOptions;

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

std::string codeText(const std::optional<int>& code) {
    return code ? control::formatCode(*code) : std::string();
}

std::string datasheetText(const Datasheet& d) {
    std::string text;
    for (const std::string& line : run::datasheetHeadings(d)) {
        text += line + "\n";
    }
    return text + columnsText(run::datasheetCells(d));
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

    void check() const override { run::checkRequest(o_); }

    int run(const CommonOptions& common, run::Recording&) override {
        // Refused before the store is read: neither may be written over.
        run::checkOutputs(common, o_);
        const Datasheet d = run::readDatasheet(common, o_.lot, !o_.report.empty());
        if (const std::string notice = run::fewUnitsNotice(d); !notice.empty()) {
            session::writeMessage(notice);
        }
        run::writeDatasheetFiles(d, o_);
        if (common.json) {
            writeJson(datasheetJson(d));
        } else if (o_.csv != "-") {
            session::writeStandardOutput(datasheetText(d));
        }
        return tellDamaged(d.runs, session::Ok);
    }

  private:
    run::DatasheetRequest o_;
};

} // namespace

std::unique_ptr<Subcommand> makeDatasheetCommand() {
    return std::make_unique<DatasheetCommand>();
}

} // namespace qd::qdctl

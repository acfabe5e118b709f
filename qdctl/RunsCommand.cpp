// qdctl runs: the runs in the results store listed, shown, exported as the
// command's own CSV, reported again, compared, and pushed to a lab's
// PostgreSQL server.

#include "control/DataWord.h"
#include "control/Printable.h"
#include "platform/Process.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/StopSignals.h"
#include "results/Store.h"
#include "run/CharacterizeCsv.h"
#include "run/LotDatasheet.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "run/Settings.h"
#include "run/Sweep.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cmath>
#include <cstdio>

namespace qd::qdctl {

using run::checkOutputPaths;
using run::csvOfStored;
using run::csvPreamble;
using run::csvRow;
using run::openStore;
using run::Recording;
using run::ResultsFile;

using session::BadArguments;
using session::CommonOptions;
using session::Failure;
using session::WriteFailed;

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

// A run that did not end is still running when its process is, on this
// machine; otherwise it was cut off (killed, the power gone).
std::string verdictOf(const results::Run& run) {
    if (!run.get("ended").empty()) {
        return run.get("verdict");
    }
    const std::string pid = run.get("pid");
    if (run.get("host") == platform::hostName() && !pid.empty() &&
        platform::processRunning(std::stoi(pid))) {
        return "RUNNING";
    }
    return "INTERRUPTED";
}

QJsonObject runJson(const results::Run& run) {
    QJsonObject json;
    for (const results::Column& c : results::kRunColumns) {
        const std::string value = run.get(c.name);
        if (value.empty()) {
            continue;
        }
        if (c.kind == results::Column::Text) {
            json.insert(c.name, q(value));
        } else if (c.kind == results::Column::Document) {
            json.insert(c.name, QJsonDocument::fromJson(QByteArray::fromStdString(value)).object());
        } else {
            json.insert(c.name, std::stod(value));
        }
    }
    json.insert("verdict", q(verdictOf(run)));
    return json;
}

QJsonObject figureJson(const results::Figure& f) {
    QJsonObject json{{"name", q(f.name)}};
    if (f.value) {
        json.insert("value", *f.value);
    }
    if (f.uncertainty) {
        json.insert("uncertainty", *f.uncertainty);
    }
    for (const auto& [key, text] :
         {std::pair{"unit", &f.unit}, std::pair{"limit", &f.limit}, std::pair{"text", &f.text}}) {
        if (!text->empty()) {
            json.insert(key, q(*text));
        }
    }
    if (f.code) {
        json.insert("code", q(control::formatCode(*f.code)));
    }
    return json;
}

std::string figureText(const results::Figure& f) {
    if (!f.text.empty()) {
        return f.text;
    }
    char text[64] = "";
    if (f.value) {
        std::snprintf(text, sizeof text, "%.6g", *f.value);
    }
    std::string out = text;
    if (f.uncertainty) {
        std::snprintf(text, sizeof text, " ± %.2g", *f.uncertainty);
        out += text;
    }
    return out + (f.unit.empty() ? "" : " " + f.unit);
}

class RunsCommand final : public Subcommand {
  public:
    void setUp(CLI::App& app, CommonOptions&) override {
        app.description("The runs recorded in the results store (--results, $QD_RESULTS, or "
                        "results.sqlite in the user's data folder).");
        app.require_subcommand(1);
        CLI::App* list = app.add_subcommand("list", "the runs, newest first");
        list->add_option("--device", filter_.device, "only this converter");
        list->add_option("--serial", filter_.serial, "only this unit (--serial when measured)");
        list->add_option("--kind", filter_.kind, "only this command")
            ->transform(
                CLI::IsMember({"program", "read", "verify", "selftest", "sweep", "characterize"},
                              CLI::ignore_case));
        list->add_option("--since", filter_.since, "only runs started since, e.g. 2026-12-01")
            ->transform(sinceOption());
        list->add_option("--verdict", filter_.verdict, "only runs of this verdict")
            ->transform(
                CLI::IsMember({"PASS", "FAIL", "CONDITIONAL", "INTERRUPTED"}, CLI::ignore_case));
        list->add_option("--station", station_,
                         "only the slots of this station (characterize --station), by its id or "
                         "an unambiguous start of it");
        list->add_option("--limit", filter_.limit, "at most this many");
        list->footer(footer("  qdctl runs list --kind characterize --since 2026-12-01\n"
                            "  qdctl runs list --station 6f24d0b6 --verdict FAIL"));
        CLI::App* show = app.add_subcommand("show", "one run, its setup and its figures");
        show->add_option("ID", id_, "the run's id, or enough of its start to tell it")->required();
        show->footer(footer("  qdctl runs show 0b6e\n  qdctl --json runs show 0b6e"));
        CLI::App* exported = app.add_subcommand("export", "a run's readings as its CSV");
        exported->add_option("ID", id_, "the run")->required();
        exported->add_option("--csv", csv_, "the file, - for standard output")->required();
        exported->footer(footer("  qdctl runs export 0b6e --csv run.csv"));
        CLI::App* report = app.add_subcommand(
            "report", "a characterization's figures, verdict and report, from the store alone");
        report->add_option("ID", id_, "the run")->required();
        report->add_option("--report", report_, "NAME.html or NAME.pdf")->required();
        report->footer(footer("  qdctl runs report 0b6e --report unit17.pdf"));
        CLI::App* compare = app.add_subcommand(
            "compare", "two runs' figures side by side, and whether they differ beyond their "
                       "uncertainties");
        compare->add_option("ID", ids_, "the two runs, of one kind")->required()->expected(2);
        compare->footer(footer("  qdctl runs compare 0b6e 41c2"));
        CLI::App* push = app.add_subcommand(
            "push", "copy the runs the server lacks to a lab's PostgreSQL, by id");
        push->add_option("--to", to_, "postgresql://user@host/database")->required();
        push->footer(footer("  qdctl runs push --to postgresql://lab@db.example/results"));
        // The parser is gone when the command runs: which one was asked
        // for is noted while it parses.
        for (CLI::App* sub : {list, show, exported, report, compare, push}) {
            sub->callback([this, name = sub->get_name()] { which_ = name; });
        }
        app.footer(footer("  qdctl runs list --kind characterize --since 2026-12-01\n"
                          "  qdctl runs show 0b6e\n"
                          "  qdctl runs export 0b6e --csv run.csv\n"
                          "  qdctl runs report 0b6e --report unit17.pdf\n"
                          "  qdctl runs compare 0b6e 41c2\n"
                          "  qdctl runs push --to postgresql://lab@db.example/results"));
    }

    int run(const CommonOptions& common, run::Recording&) override {
        common_ = &common;
        const std::string& which = which_;
        try {
            if (which == "list") {
                return list();
            }
            if (which == "show") {
                return show();
            }
            if (which == "export") {
                return exportCsv();
            }
            if (which == "report") {
                return report();
            }
            if (which == "compare") {
                return compare();
            }
            return push();
        } catch (const results::UnknownRun& e) {
            throw Failure(BadArguments, e.what());
        } catch (const results::StoreError& e) {
            throw Failure(WriteFailed, std::string("results store: ") + e.what());
        }
    }

  private:
    std::unique_ptr<results::Store> store() const { return Recording::storeToRead(*common_); }

    int list() {
        auto s = store();
        if (!station_.empty()) {
            filter_.station = run::stationNamed(*s, filter_, station_, "--station");
        }
        const auto runs = s->runs(filter_);
        if (common_->json) {
            QJsonArray array;
            for (const auto& run : runs) {
                array.append(runJson(run));
            }
            writeJson({{"runs", array}});
            return tellDamaged(runs, session::Ok);
        }
        std::string text;
        char line[256];
        for (const auto& run : runs) {
            std::snprintf(
                line, sizeof line, "%-8.8s  %-12s  %-19.19sZ  %-6s  %-12s  %s\n", run.id().c_str(),
                run.get("kind").c_str(), run.get("started").c_str(), run.get("device").c_str(),
                control::printable(run.get("dut_serial")).c_str(), verdictOf(run).c_str());
            text += line;
        }
        session::writeStandardOutput(text.empty() ? "no runs\n" : text);
        return tellDamaged(runs, session::Ok);
    }

    int show() {
        auto s = store();
        const results::Run run = s->find(id_);
        const auto figures = s->figures(run.id());
        const auto readings = s->readings(run.id());
        if (common_->json) {
            QJsonArray array;
            for (const auto& f : figures) {
                array.append(figureJson(f));
            }
            writeJson({{"run", runJson(run)},
                       {"figures", array},
                       {"readings", static_cast<qint64>(readings.size())}});
            return tellDamaged({run}, session::Ok);
        }
        // Each field once: the verdict as it is worked out below, and the
        // setup document's settings are the columns' already.
        std::string text;
        for (const results::Column& c : results::kRunColumns) {
            if (!run.get(c.name).empty() && c.kind != results::Column::Document &&
                std::string_view(c.name) != "verdict") {
                text += std::string(c.name) + ": " + control::printable(run.get(c.name)) + "\n";
            }
        }
        const auto settings = run::storedSettings(run);
        for (const run::Setting& setting : run::kCharacterizeSettings) {
            if (setting.column == nullptr) {
                if (const std::string& value = settings.at(setting.key); !value.empty()) {
                    text += std::string(setting.key) + ": " + control::printable(value) + "\n";
                }
            }
        }
        text +=
            "verdict: " + verdictOf(run) + "\nreadings: " + std::to_string(readings.size()) + "\n";
        for (const auto& f : figures) {
            text += "  " + f.name + ": " + figureText(f) +
                    (f.code ? " at code " + control::formatCode(*f.code) : "") +
                    (f.limit.empty() ? "" : ", limit " + f.limit) + "\n";
        }
        session::writeStandardOutput(text);
        return tellDamaged({run}, session::Ok);
    }

    int exportCsv() {
        auto s = store();
        const results::Run run = s->find(id_);
        refuseDamaged(run);
        const auto readings = s->readings(run.id());
        checkOutputPaths(csv_, "", run::keptFilesOf(*common_), common_->json);
        // The command's own columns: a characterization's setup lines and
        // its rows of samples; any other run's codes and readings.
        std::string header;
        if (run.get("kind") == "characterize") {
            // The file the run wrote: every setting it kept, in its order.
            run::CsvSetup setup = {{"run", run.id()}};
            for (auto& setting : run::storedCsvSetup(run)) {
                if (!setting.second.empty()) {
                    setup.push_back(std::move(setting));
                }
            }
            header = csvPreamble(setup,
                                 std::stoi(run.get("samples").empty() ? "1" : run.get("samples")));
        } else {
            header = "code,frame,sample," + run.get("reading_unit") + "\n";
        }
        ResultsFile file(csv_, header);
        measure::Row row;
        const auto flush = [&] {
            if (!row.values.empty()) {
                file.write(csvRow(row));
            }
            row.values.clear();
        };
        for (const auto& r : readings) {
            if (run.get("kind") != "characterize") {
                file.write(control::formatCode(r.code) + "," + control::formatCode(r.frame) + "," +
                           std::to_string(r.sample) + "," + control::formatNumber(r.value) + "\n");
                continue;
            }
            if (r.sample == 1) {
                flush();
                row.code = r.code;
                row.frame = r.frame;
            }
            row.values.push_back(r.value);
        }
        flush();
        file.commit();
        return session::Ok;
    }

    int report() {
        auto s = store();
        const results::Run run = s->find(id_);
        refuseDamaged(run);
        if (run.get("kind") == "sweep") {
            // A sweep's report is its plot, as its --plot drew it.
            const std::string format = run::plotFormat(report_);
            if (format.empty()) {
                throw Failure(BadArguments, "--report: a sweep's is its plot: NAME.png, NAME.svg "
                                            "or NAME.pdf");
            }
            checkOutputPaths("", report_, run::keptFilesOf(*common_), common_->json);
            run::Renderer().write(run::storedSweepPicture(run, s->readings(run.id())), report_,
                                  format, true);
            return session::Ok;
        }
        if (run.get("kind") != "characterize") {
            throw Failure(BadArguments, "run " + run.id() + " is a " + run.get("kind") +
                                            ": only a characterization or a sweep has a report");
        }
        return reportRun(csvOfStored(run, s->readings(run.id())), "run " + run.id(),
                         run.get("limits"), report_, *common_, &run);
    }

    int compare() {
        auto s = store();
        const results::Run a = s->find(ids_.at(0)), b = s->find(ids_.at(1));
        refuseDamaged(a);
        refuseDamaged(b);
        // A sweep's figures are not a characterization's: same names, other
        // meanings and plans.
        if (a.get("kind") != b.get("kind")) {
            throw Failure(BadArguments, "run " + a.id().substr(0, 8) + " is a " + a.get("kind") +
                                            " and run " + b.id().substr(0, 8) + " a " +
                                            b.get("kind") + ": only runs of one kind compare");
        }
        const auto fa = s->figures(a.id()), fb = s->figures(b.id());
        QJsonArray rows;
        std::string text = "figure                        " + a.id().substr(0, 8) + "      " +
                           b.id().substr(0, 8) + "      difference\n";
        std::size_t beyond = 0;
        for (const results::Figure& x : fa) {
            const auto y = std::find_if(fb.begin(), fb.end(),
                                        [&](const results::Figure& f) { return f.name == x.name; });
            if (y == fb.end() || !x.value || !y->value || !x.text.empty()) {
                continue;
            }
            const double difference = *y->value - *x.value;
            QJsonObject row{{"name", q(x.name)},
                            {"a", figureJson(x)},
                            {"b", figureJson(*y)},
                            {"difference", difference}};
            std::string verdict;
            if (x.uncertainty && y->uncertainty) {
                const double u = std::hypot(*x.uncertainty, *y->uncertainty);
                const bool exceeds = std::abs(difference) > u;
                beyond += exceeds ? 1 : 0;
                row.insert("uncertainty", u);
                row.insert("exceeds", exceeds);
                char within[64];
                std::snprintf(within, sizeof within, " ± %.2g %s", u,
                              exceeds ? "DIFFERS" : "within");
                verdict = within;
            }
            rows.append(row);
            char line[200];
            std::snprintf(line, sizeof line, "%-28s %12.6g  %12.6g  %+12.6g%s %s\n", x.name.c_str(),
                          *x.value, *y->value, difference, verdict.c_str(), x.unit.c_str());
            text += line;
        }
        if (common_->json) {
            writeJson({{"a", runJson(a)},
                       {"b", runJson(b)},
                       {"figures", rows},
                       {"beyond_uncertainty", static_cast<qint64>(beyond)}});
        } else {
            session::writeStandardOutput(text + std::to_string(beyond) +
                                         " figures differ beyond their combined uncertainty\n");
        }
        return session::Ok;
    }

    int push() {
        auto from = store();
        // A server that stops answering is given up at a signal, not the
        // program: what was pushed stays pushed.
        const StopStoreWaits stopWaits;
        std::unique_ptr<results::Store> to;
        try {
            to = openStore(to_, results::StoreAccess::Record, run::serverLimits(storeWaitStopped));
        } catch (const results::StoreError& e) {
            throw Failure(WriteFailed, std::string("--to: ") + e.what());
        }
        if (!to) {
            throw Failure(BadArguments, "--to none: name the store to push to");
        }
        std::size_t copied = 0, updated = 0, there = 0;
        std::vector<std::string> recording;
        for (const auto& run : from->runs({})) {
            // A run still recording would go over half measured; it goes
            // whole at the first push after its end.
            if (verdictOf(run) == "RUNNING") {
                recording.push_back(run.id());
                continue;
            }
            const auto held = to->held(run.id());
            if (held && held == from->held(run.id())) {
                ++there;
                continue;
            }
            switch (to->copy(run, from->readings(run.id()), from->figures(run.id()))) {
            case results::Store::Copied::Added:
                ++copied;
                break;
            case results::Store::Copied::Updated:
                ++updated;
                break;
            case results::Store::Copied::There:
                ++there;
                break;
            }
        }
        if (common_->json) {
            QJsonArray skipped;
            for (const auto& id : recording) {
                skipped.append(q(id));
            }
            writeJson({{"copied", static_cast<qint64>(copied)},
                       {"updated", static_cast<qint64>(updated)},
                       {"already_there", static_cast<qint64>(there)},
                       {"still_recording", skipped},
                       {"to", q(to->name())}});
        } else {
            std::string text = std::to_string(copied) + " runs copied to " + to->name() + ", " +
                               std::to_string(updated) + " brought up to date, " +
                               std::to_string(there) + " there already\n";
            if (!recording.empty()) {
                text += std::to_string(recording.size()) +
                        " still recording, not pushed until they end:";
                for (const auto& id : recording) {
                    text += " " + id.substr(0, 8);
                }
                text += "\n";
            }
            session::writeStandardOutput(text);
        }
        return session::Ok;
    }

    const CommonOptions* common_ = nullptr;
    results::Filter filter_;
    std::string id_, csv_, to_, report_;
    std::vector<std::string> ids_;
    std::string which_; // the subcommand: list, show, …
    std::string station_;
};

} // namespace

std::unique_ptr<Subcommand> makeRunsCommand() {
    return std::make_unique<RunsCommand>();
}

} // namespace qd::qdctl

// qdctl runs: the runs in the results store listed, shown, exported as the
// command's own CSV, reported again, compared, and pushed to a lab's
// PostgreSQL server.

#include "control/DataWord.h"
#include "qdctl/CommandOutput.h"
#include "qdctl/CommandTable.h"
#include "qdctl/Options.h"
#include "qdctl/StopSignals.h"
#include "results/Store.h"
#include "run/History.h"
#include "run/Recording.h"
#include "session/ExitStatus.h"
#include "session/OutputRules.h"

#include <CLI/CLI.hpp>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace qd::qdctl {

using run::Recording;
using session::CommonOptions;

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
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
    json.insert("verdict", q(run::verdictOf(run)));
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
            ->transform(CLI::IsMember(
                {"program", "read", "verify", "selftest", "sweep", "characterize", "dynamic"},
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
        push->add_option("ID", pushIds_,
                         "only these runs, each by its id or enough of its "
                         "start to tell it; every run when none is given");
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
        return run::readingStore([&] {
            if (which == "list") {
                return list();
            }
            if (which == "show") {
                return show();
            }
            if (which == "export") {
                run::exportCsv(*store(), id_, csv_, *common_);
                return static_cast<int>(session::Ok);
            }
            if (which == "report") {
                return report();
            }
            if (which == "compare") {
                return compare();
            }
            return push();
        });
    }

  private:
    std::unique_ptr<results::Store> store() const { return Recording::storeToRead(*common_); }

    int list() {
        auto s = store();
        const auto runs = run::listRuns(*s, filter_, station_);
        if (common_->json) {
            QJsonArray array;
            for (const auto& run : runs) {
                array.append(runJson(run));
            }
            writeJson({{"runs", array}});
            return tellDamaged(runs, session::Ok);
        }
        session::writeStandardOutput(run::listText(runs));
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
        session::writeStandardOutput(run::showText(run, figures, readings.size()));
        return tellDamaged({run}, session::Ok);
    }

    int report() {
        auto s = store();
        const auto judged = run::reportStored(*s, s->find(id_), report_, *common_);
        return judged ? printCharacterization(*judged, *common_) : static_cast<int>(session::Ok);
    }

    int compare() {
        auto s = store();
        const run::Comparison c = run::compareRuns(*s, ids_.at(0), ids_.at(1));
        if (!common_->json) {
            session::writeStandardOutput(run::comparisonText(c));
            return session::Ok;
        }
        QJsonArray rows;
        for (const run::FigureComparison& f : c.figures) {
            QJsonObject row{{"name", q(f.a.name)},
                            {"a", figureJson(f.a)},
                            {"b", figureJson(f.b)},
                            {"difference", f.difference}};
            if (f.uncertainty) {
                row.insert("uncertainty", *f.uncertainty);
                row.insert("exceeds", f.exceeds);
            }
            rows.append(row);
        }
        writeJson({{"a", runJson(c.a)},
                   {"b", runJson(c.b)},
                   {"figures", rows},
                   {"beyond_uncertainty", static_cast<qint64>(c.beyond)}});
        return session::Ok;
    }

    int push() {
        auto from = store();
        // A server that stops answering is given up at a signal, not the
        // program: what was pushed stays pushed.
        const StopStoreWaits stopWaits;
        const auto to = run::pushTarget(to_, storeWaitStopped);
        const run::Pushed pushed = run::pushRuns(*from, *to, pushIds_);
        if (common_->json) {
            QJsonArray skipped;
            for (const auto& id : pushed.recording) {
                skipped.append(q(id));
            }
            writeJson({{"copied", static_cast<qint64>(pushed.copied)},
                       {"updated", static_cast<qint64>(pushed.updated)},
                       {"already_there", static_cast<qint64>(pushed.there)},
                       {"still_recording", skipped},
                       {"to", q(pushed.to)}});
        } else {
            session::writeStandardOutput(run::pushedText(pushed));
        }
        return session::Ok;
    }

    const CommonOptions* common_ = nullptr;
    results::Filter filter_;
    std::string id_, csv_, to_, report_;
    std::vector<std::string> ids_, pushIds_;
    std::string which_; // the subcommand: list, show, …
    std::string station_;
};

} // namespace

std::unique_ptr<Subcommand> makeRunsCommand() {
    return std::make_unique<RunsCommand>();
}

} // namespace qd::qdctl

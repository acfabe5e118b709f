#include "run/History.h"

#include "control/DataWord.h"
#include "control/Printable.h"
#include "measure/Limits.h"
#include "platform/Process.h"
#include "run/CharacterizeCsv.h"
#include "run/CharacterizeReport.h"
#include "run/Dynamic.h"
#include "run/LotDatasheet.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "run/Settings.h"
#include "run/Sweep.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <string_view>
#include <utility>

namespace qd::run {

using session::BadArguments;
using session::Failure;
using session::WriteFailed;

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

std::vector<results::Run> listRuns(results::Store& store, results::Filter filter,
                                   const std::string& station) {
    if (!station.empty()) {
        filter.station = stationNamed(store, filter, station, "--station");
    }
    return store.runs(filter);
}

std::vector<std::string> listColumns(const results::Run& run) {
    return {run.id().substr(0, 8),
            run.get("kind"),
            run.get("started").substr(0, 19) + "Z",
            run.get("device"),
            control::printable(run.get("dut_serial")),
            verdictOf(run)};
}

std::string listText(const std::vector<results::Run>& runs) {
    std::string text;
    char line[256];
    for (const auto& run : runs) {
        std::snprintf(line, sizeof line, "%-8.8s  %-12s  %-19.19sZ  %-6s  %-12s  %s\n",
                      run.id().c_str(), run.get("kind").c_str(), run.get("started").c_str(),
                      run.get("device").c_str(), control::printable(run.get("dut_serial")).c_str(),
                      verdictOf(run).c_str());
        text += line;
    }
    return text.empty() ? "no runs\n" : text;
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

std::string showText(const results::Run& run, const std::vector<results::Figure>& figures,
                     std::size_t readings) {
    // Each field once: the verdict as it is worked out below, and the
    // setup document's settings are the columns' already.
    std::string text;
    for (const results::Column& c : results::kRunColumns) {
        if (!run.get(c.name).empty() && c.kind != results::Column::Document &&
            std::string_view(c.name) != "verdict") {
            text += std::string(c.name) + ": " + control::printable(run.get(c.name)) + "\n";
        }
    }
    const auto settings = storedSettings(run);
    for (const Setting& setting : kCharacterizeSettings) {
        if (setting.column == nullptr) {
            if (const std::string& value = settings.at(setting.key); !value.empty()) {
                text += std::string(setting.key) + ": " + control::printable(value) + "\n";
            }
        }
    }
    text += "verdict: " + verdictOf(run) + "\nreadings: " + std::to_string(readings) + "\n";
    for (const auto& f : figures) {
        text += "  " + f.name + ": " + figureText(f) +
                (f.code ? " at code " + control::formatCode(*f.code) : "") +
                (f.limit.empty() ? "" : ", limit " + f.limit) + "\n";
    }
    return text;
}

std::string damageText(const results::Run& run) {
    std::string text = "run " + run.id() + ": the store's ";
    for (std::size_t i = 0; i < run.damaged.size(); ++i) {
        text += (i == 0 ? "" : ", ") + run.damaged[i];
    }
    return text +
           (run.damaged.size() == 1 ? ", not a number it can hold" : ", not numbers they can hold");
}

void refuseDamaged(const results::Run& run) {
    if (!run.damaged.empty()) {
        throw Failure(WriteFailed, damageText(run));
    }
}

Comparison compareRuns(results::Store& store, const std::string& first, const std::string& second) {
    Comparison c{store.find(first), store.find(second), {}, 0};
    const results::Run &a = c.a, &b = c.b;
    refuseDamaged(a);
    refuseDamaged(b);
    // A sweep's figures are not a characterization's: same names, other
    // meanings and plans.
    if (a.get("kind") != b.get("kind")) {
        throw Failure(BadArguments, "run " + a.id().substr(0, 8) + " is a " + a.get("kind") +
                                        " and run " + b.id().substr(0, 8) + " a " + b.get("kind") +
                                        ": only runs of one kind compare");
    }
    const auto fa = store.figures(a.id()), fb = store.figures(b.id());
    for (const results::Figure& x : fa) {
        const auto y = std::find_if(fb.begin(), fb.end(),
                                    [&](const results::Figure& f) { return f.name == x.name; });
        if (y == fb.end() || !x.value || !y->value || !x.text.empty()) {
            continue;
        }
        FigureComparison row{x, *y, *y->value - *x.value, std::nullopt, false};
        if (x.uncertainty && y->uncertainty) {
            row.uncertainty = std::hypot(*x.uncertainty, *y->uncertainty);
            row.exceeds = std::abs(row.difference) > *row.uncertainty;
            c.beyond += row.exceeds ? 1 : 0;
        }
        c.figures.push_back(std::move(row));
    }
    return c;
}

std::string differenceWords(const FigureComparison& f) {
    if (!f.uncertainty) {
        return {};
    }
    char within[64];
    std::snprintf(within, sizeof within, " ± %.2g %s", *f.uncertainty,
                  f.exceeds ? "DIFFERS" : "within");
    return within;
}

std::string comparisonText(const Comparison& c) {
    std::string text = "figure                        " + c.a.id().substr(0, 8) + "      " +
                       c.b.id().substr(0, 8) + "      difference\n";
    for (const FigureComparison& f : c.figures) {
        char line[200];
        std::snprintf(line, sizeof line, "%-28s %12.6g  %12.6g  %+12.6g%s %s\n", f.a.name.c_str(),
                      *f.a.value, *f.b.value, f.difference, differenceWords(f).c_str(),
                      f.a.unit.c_str());
        text += line;
    }
    return text + std::to_string(c.beyond) + " figures differ beyond their combined uncertainty\n";
}

namespace {

// A characterization's file as the run wrote it: every setting it kept, in
// its order, then its rows of samples.
std::string characterizationHeader(const results::Run& run) {
    CsvSetup setup = {{"run", run.id()}};
    for (auto& setting : storedCsvSetup(run)) {
        if (!setting.second.empty()) {
            setup.push_back(std::move(setting));
        }
    }
    return csvPreamble(setup, std::stoi(run.get("samples").empty() ? "1" : run.get("samples")));
}

} // namespace

void exportCsv(results::Store& store, const std::string& id, const std::string& csv,
               const session::CommonOptions& common) {
    const results::Run run = store.find(id);
    refuseDamaged(run);
    const auto readings = store.readings(run.id());
    checkOutputPaths(csv, "", keptFilesOf(common), common.json);
    // The command's own columns: a characterization's setup lines and its
    // rows of samples; any other run's codes and readings.
    const bool characterization = run.get("kind") == "characterize";
    ResultsFile file(csv, characterization ? characterizationHeader(run)
                                           : "code,frame,sample," + run.get("reading_unit") + "\n");
    measure::Row row;
    const auto flush = [&] {
        if (!row.values.empty()) {
            file.write(csvRow(row));
        }
        row.values.clear();
    };
    for (const auto& r : readings) {
        if (!characterization) {
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
}

namespace {

// A stored characterization judged again by the limits it was judged by.
CharacterizeResult judgeStored(results::Store& store, const results::Run& run,
                               const std::string& report, const session::CommonOptions& common) {
    const std::string source = "run " + run.id();
    const std::string limits = run.get("limits");
    std::string why;
    const auto parsed = measure::Limits::parse(limits, why);
    if (!parsed) {
        throw Failure(BadArguments,
                      source + ": its limits \"" + limits + "\" do not parse: " + why);
    }
    CharacterizeSetup setup;
    setup.report = report;
    return judgeRun(csvOfStored(run, store.readings(run.id())), source, setup, common, *parsed,
                    &run);
}

} // namespace

std::optional<CharacterizeResult> reportStored(results::Store& store, const results::Run& run,
                                               const std::string& report,
                                               const session::CommonOptions& common) {
    refuseDamaged(run);
    if (run.get("kind") == "sweep") {
        // A sweep's report is its plot, as its --plot drew it.
        const std::string format = plotFormat(report);
        if (format.empty()) {
            throw Failure(BadArguments, "--report: a sweep's is its plot: NAME.png, NAME.svg "
                                        "or NAME.pdf");
        }
        checkOutputPaths("", report, keptFilesOf(common), common.json);
        Renderer().write(storedSweepPicture(run, store.readings(run.id())), report, format, true);
        return std::nullopt;
    }
    if (run.get("kind") == "dynamic") {
        checkReportPath(report, "", "", keptFilesOf(common));
        Renderer().write(dynamicReport(storedDynamic(run, store.figures(run.id()))), report,
                         extensionOf(report) == ".pdf" ? "pdf" : "html", false);
        return std::nullopt;
    }
    if (run.get("kind") != "characterize") {
        throw Failure(BadArguments, "run " + run.id() + " is a " + run.get("kind") +
                                        ": only a characterization, a sweep or a dynamic run has "
                                        "a report");
    }
    return judgeStored(store, run, report, common);
}

std::optional<report::ReportData> pictureOfStored(results::Store& store, const results::Run& run,
                                                  const session::CommonOptions& common) {
    refuseDamaged(run);
    if (run.get("kind") == "sweep") {
        return storedSweepPicture(run, store.readings(run.id()));
    }
    if (run.get("kind") == "dynamic") {
        return dynamicReport(storedDynamic(run, store.figures(run.id())));
    }
    if (run.get("kind") != "characterize") {
        return std::nullopt;
    }
    return reportDataOf(judgeStored(store, run, "", common));
}

std::unique_ptr<results::Store> pushTarget(const std::string& to, std::function<bool()> stopped) {
    std::unique_ptr<results::Store> store;
    try {
        store = openStore(to, results::StoreAccess::Record, serverLimits(std::move(stopped)));
    } catch (const results::StoreError& e) {
        throw Failure(WriteFailed, std::string("--to: ") + e.what());
    }
    if (!store) {
        throw Failure(BadArguments, "--to none: name the store to push to");
    }
    return store;
}

Pushed pushRuns(results::Store& from, results::Store& to, const std::vector<std::string>& ids) {
    std::vector<results::Run> runs;
    if (ids.empty()) {
        results::Filter every;
        every.whole = true;
        runs = from.runs(every);
    }
    std::set<std::string> named;
    for (const std::string& id : ids) {
        results::Run run = from.find(id);
        if (named.insert(run.id()).second) {
            runs.push_back(std::move(run));
        }
    }
    Pushed pushed;
    pushed.to = to.name();
    for (const auto& run : runs) {
        // A run still recording would go over half measured; it goes
        // whole at the first push after its end.
        if (verdictOf(run) == "RUNNING") {
            pushed.recording.push_back(run.id());
            continue;
        }
        const auto held = to.held(run.id());
        if (held && held == from.held(run.id())) {
            ++pushed.there;
            continue;
        }
        switch (to.copy(run, from.readings(run.id()), from.figures(run.id()))) {
        case results::Store::Copied::Added:
            ++pushed.copied;
            break;
        case results::Store::Copied::Updated:
            ++pushed.updated;
            break;
        case results::Store::Copied::There:
            ++pushed.there;
            break;
        }
    }
    return pushed;
}

std::string pushedText(const Pushed& p) {
    std::string text = std::to_string(p.copied) + " runs copied to " + p.to + ", " +
                       std::to_string(p.updated) + " brought up to date, " +
                       std::to_string(p.there) + " there already\n";
    if (!p.recording.empty()) {
        text += std::to_string(p.recording.size()) + " still recording, not pushed until they end:";
        for (const auto& id : p.recording) {
            text += " " + id.substr(0, 8);
        }
        text += "\n";
    }
    return text;
}

} // namespace qd::run

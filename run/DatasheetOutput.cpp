#include "run/DatasheetOutput.h"

#include "control/DataWord.h"
#include "run/Recording.h"
#include "run/Renderer.h"
#include "run/ResultsFile.h"
#include "session/ExitStatus.h"

#include <cstdio>
#include <optional>
#include <utility>

namespace qd::run {

using session::BadArguments;
using session::Failure;

namespace {

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

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

} // namespace

std::string unitAt(const Datasheet& d, std::size_t index) {
    return index < d.runs.size() ? unitOf(d.runs[index]) : std::string();
}

void checkRequest(const DatasheetRequest& request) {
    const LotChoice& lot = request.lot;
    if (!lot.runs.empty() && (!lot.device.empty() || !lot.since.empty() || lot.station)) {
        throw Failure(BadArguments, "--runs names the runs itself: it takes no --device, "
                                    "--since or --station-run");
    }
    if (!request.report.empty() && !request.report.ends_with(".pdf") &&
        !request.report.ends_with(".html")) {
        throw Failure(BadArguments, "--report takes NAME.pdf or NAME.html");
    }
}

void checkOutputs(const session::CommonOptions& common, const DatasheetRequest& request) {
    const KeptFiles kept = keptFilesOf(common);
    if (!request.csv.empty() && request.csv != "-") {
        checkOutputFile("--csv", request.csv, kept, {});
    }
    if (!request.report.empty()) {
        checkOutputFile("--report", request.report, kept, {{"--csv", &request.csv}});
    }
}

Datasheet readDatasheet(const session::CommonOptions& common, const LotChoice& choice,
                        bool curves) {
    try {
        const auto store = Recording::storeToRead(common);
        Lot lot = lotOf(*store, choice);
        return datasheetOf(*store, std::move(lot), choice, curves);
    } catch (const results::UnknownRun& e) {
        throw Failure(BadArguments, std::string("--runs: ") + e.what());
    } catch (const results::StoreError& e) {
        throw Failure(session::WriteFailed, std::string("results store: ") + e.what());
    }
}

std::string fewUnitsNotice(const Datasheet& d) {
    if (d.units.size() >= measure::kTypicalUnits) {
        return {};
    }
    return "typ and sigma need at least " + std::to_string(measure::kTypicalUnits) +
           " units to mean something; " + std::to_string(d.units.size()) + " measured";
}

std::string datasheetCsv(const Datasheet& d) {
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

std::vector<std::string> datasheetHeadings(const Datasheet& d) {
    std::vector<std::string> lines{d.device + " datasheet: " + countsText(d) +
                                   "; shown monotonic " + std::to_string(d.monotonic) + " of " +
                                   std::to_string(d.units.size())};
    for (const auto& c : d.conditions) {
        if (c.differ) {
            lines.push_back(c.label + " differ: " + c.value);
        }
    }
    return lines;
}

std::vector<std::vector<std::string>> datasheetCells(const Datasheet& d) {
    std::vector<std::vector<std::string>> table = {
        {"figure", "units", "min", "typ", "max", "sigma", "unit", "limit", "min in", "max in"}};
    for (const auto& row : d.rows) {
        table.push_back({row.name, std::to_string(row.units), number(row.min), number(row.typ),
                         number(row.max), row.sigma ? number(*row.sigma) : "-", row.unit,
                         row.limit.empty() ? "-" : row.limit, whereText(d, row, false),
                         whereText(d, row, true)});
    }
    return table;
}

void writeDatasheetFiles(const Datasheet& d, const DatasheetRequest& request) {
    if (!request.csv.empty()) {
        ResultsFile csv(request.csv, kDatasheetCsvHeader);
        csv.write(datasheetCsv(d));
        csv.commit();
    }
    if (!request.report.empty()) {
        Renderer().write(datasheetReport(d), request.report,
                         request.report.ends_with(".pdf") ? "pdf" : "html", false);
    }
}

} // namespace qd::run

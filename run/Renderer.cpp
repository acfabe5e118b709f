#include "run/Renderer.h"

#include "control/Printable.h"
#include "run/Modules.h"
#include "run/ResultsFile.h"

#include <chrono>

namespace qd::run {

namespace {

// Every text a page shows, a user's note or serial among them, without the
// control characters that would make its HTML no XML or its PDF show
// nothing where they were.
report::ReportData printable(report::ReportData data) {
    const auto clean = [](std::string& text) { text = control::printable(text); };
    clean(data.title);
    clean(data.reasons);
    clean(data.footer);
    for (auto& [label, value] : data.setup) {
        clean(label);
        clean(value);
    }
    for (report::FigureRow& row : data.figures) {
        for (std::string* text : {&row.name, &row.value, &row.uncertainty, &row.unit, &row.where,
                                  &row.limit, &row.status}) {
            clean(*text);
        }
    }
    for (std::string& line : data.notes) {
        clean(line);
    }
    for (std::string& line : data.caption) {
        clean(line);
    }
    for (report::PlotData& plot : data.plots) {
        clean(plot.title);
        clean(plot.name);
        for (std::string& label : plot.xLabels) {
            clean(label);
        }
    }
    return data;
}

} // namespace

Renderer::Renderer()
    : write_(loadModule<report::WriteReport>(report::kReportModule, report::kWriteReportSymbol)) {}

double Renderer::write(const report::ReportData& data, const std::string& path,
                       const std::string& format, bool plotsOnly) const {
    const auto begin = std::chrono::steady_clock::now();
    writeBeside(path, plotsOnly ? "the plot" : "the report",
                [&](const std::string& partial, std::string& error) {
                    return write_(printable(data), partial, format, plotsOnly, error);
                });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

} // namespace qd::run

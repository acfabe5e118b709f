#include "report/Page.h"

#include <array>

namespace qd::report {

namespace {

Table setupTable(const ReportData& data) {
    Table t{"setup", {{"", Cell::Label, 100}, {"", Cell::Text, 0}}, false, {}};
    for (const auto& [label, value] : data.setup) {
        t.rows.push_back({label, value});
    }
    return t;
}

Table figuresTable(const ReportData& data) {
    // Name, value, uncertainty, unit, where, limit, status.
    static constexpr std::array<Cell, 7> kCells = {
        Cell::Text, Cell::Number, Cell::Number, Cell::Text, Cell::Text, Cell::Text, Cell::Status};
    static constexpr std::array<double, 7> kPoints = {100, 72, 64, 30, 118, 60, 0};
    Table t{"figures", {}, true, {}};
    for (std::size_t i = 0; i < kCells.size(); ++i) {
        t.columns.push_back({headingOf(data, i), kCells[i], kPoints[i]});
    }
    for (const FigureRow& row : data.figures) {
        t.rows.push_back(
            {row.name, row.value, row.uncertainty, row.unit, row.where, row.limit, row.status});
    }
    return t;
}

} // namespace

Page reportPage(const ReportData& data) {
    Page page{data.title, {}, data.footer};
    page.blocks.emplace_back(Title{data.title});
    page.blocks.emplace_back(Verdict{data.verdict, data.reasons});
    page.blocks.emplace_back(setupTable(data));
    page.blocks.emplace_back(figuresTable(data));
    for (const PlotData& plot : data.plots) {
        page.blocks.emplace_back(Figure{&plot});
    }
    page.blocks.emplace_back(Notes{data.notes});
    return page;
}

} // namespace qd::report

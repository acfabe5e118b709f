#pragma once

// What a report's page shows and in which order, said once: the HTML page
// and the painter's printed pages each draw these blocks their own way, so
// that a line, a row or a plot added here appears in both. Standard C++
// only.

#include "report/ReportData.h"

#include <string>
#include <variant>
#include <vector>

namespace qd::report {

// The page's heading.
struct Title {
    std::string text;
};

// The verdict's badge, in verdictColour, and why beside it.
struct Verdict {
    std::string verdict;
    std::string reasons;
};

// How a column's cells are shown.
enum class Cell {
    Label, // a row's name, in grey
    Text,
    Number, // right-aligned, so that the digits line up
    Status, // "pass", "FAIL" (which stands out) or ""
};

struct Column {
    std::string heading;
    Cell cell = Cell::Text;
    // Its share of a printed page's width in points, the gap to the next
    // column included; 0: what the page has left. A browser sizes its own.
    double points = 0;
};

struct Table {
    std::string name; // "setup", "figures": the HTML class it is styled by
    std::vector<Column> columns;
    bool headed = false;                        // a line of headings over the rows
    std::vector<std::vector<std::string>> rows; // a cell per column
};

// A plot across the page. It points into the ReportData the page was made
// from, which outlives the page.
struct Figure {
    const PlotData* plot = nullptr;
};

// Remarks in small print, a bullet each.
struct Notes {
    std::vector<std::string> lines;
};

using Block = std::variant<Title, Verdict, Table, Figure, Notes>;

struct Page {
    std::string title; // the document's
    std::vector<Block> blocks;
    // Under the page's end in HTML; at the foot of every printed page,
    // before its number.
    std::string footer;
};

// The report's page: title, verdict, set-up, figures, plots, notes.
Page reportPage(const ReportData& data);

} // namespace qd::report

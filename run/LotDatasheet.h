#pragma once

// A lot's datasheet from the results store: its units' figures, the table,
// and the typical-performance pages drawn by the one renderer.

#include "measure/Datasheet.h"
#include "report/ReportData.h"
#include "results/Store.h"
#include "session/CommonOptions.h"

#include <string>
#include <vector>

namespace qd::run {

// A run's unit: its DUT serial, else its run id.
std::string unitOf(const results::Run& run);
// Which unit a run measured, as the program compares serials (letters'
// case aside): its DUT serial, else its board's serial, as unitOf names it.
std::string unitKeyOf(const results::Run& run);

struct Datasheet {
    std::string device;
    std::vector<results::Run> runs; // one a unit, in the order of their units
    std::vector<measure::UnitFigures> units;
    std::vector<measure::DatasheetRow> rows;
    std::size_t monotonic = 0; // units shown monotonic
    // Each unit's best-fit INL and DNL by code, from its stored readings;
    // only when pages are to be drawn.
    std::vector<report::Points> inl, dnl;
    int bits = 16;
};

// The datasheet of `runs` from their stored figures (and readings, with
// `curves`).
Datasheet datasheetOf(results::Store& store, std::vector<results::Run> runs, bool curves);

// The pages: the table, INL and DNL of every unit with the median unit over
// them, a histogram per figure, offset and gain error by unit.
report::ReportData datasheetReport(const Datasheet& d);

} // namespace qd::run

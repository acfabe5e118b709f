#pragma once

// A lot's datasheet from the results store: which runs it counts (one a
// unit) and which units it leaves out and why, its units' figures, the
// table, the conditions they were measured under, and the
// typical-performance pages drawn by the one renderer.

#include "measure/Datasheet.h"
#include "report/ReportData.h"
#include "results/Store.h"

#include <string>
#include <utility>
#include <vector>

namespace qd::run {

// A run's unit: its DUT serial, else its board's serial ("board SIM0003"),
// else its run.
std::string unitOf(const results::Run& run);
// Which unit a run measured, as the program compares serials (letters'
// case aside): its DUT serial, else its board's serial, as unitOf names it.
std::string unitKeyOf(const results::Run& run);

// The station `asked` names among the runs `filter` gives: the latest one
// for "", else the one station whose id starts so (letters' case aside), as
// runs show takes a run's id. Failure(BadArguments), naming `option`, when
// none or several do.
std::string stationNamed(results::Store& store, results::Filter filter, const std::string& asked,
                         const std::string& option);

// Which runs make the lot: the store's characterizations chosen by
// converter, start and station, or runs named by id.
struct LotChoice {
    std::string device, since, verdict;
    std::vector<std::string> runs; // by id or an unambiguous start of one
    bool station = false;          // the runs of a station ...
    std::string stationRun;        // ... whose id starts so; "": the latest
};

// A unit the lot has runs of but none that counts.
struct LeftOut {
    std::string unit, run; // its latest run
    std::string why;       // "interrupted", "no figures (it ended with status 10)"
};

struct Lot {
    std::vector<results::Run> runs; // one a unit: its latest that ran to its end
    std::vector<LeftOut> leftOut;
    // Units whose latest counted run has another verdict than --verdict.
    std::size_t otherVerdicts = 0;
};

// The lot `choice` names in `store`. A characterization counts when it ran
// to its end, whatever its verdict: a lot's extremes are often the units
// that did not pass. Refuses (Failure, BadArguments) a choice that gives no
// unit, runs of several converters, a named run that did not end, and a
// station's id that is unknown or ambiguous.
Lot lotOf(results::Store& store, const LotChoice& choice);

struct Datasheet {
    std::string device;
    std::vector<results::Run> runs; // one a unit, in the order of their units
    std::vector<LeftOut> leftOut;
    std::size_t otherVerdicts = 0;
    std::string verdictAsked;
    std::vector<measure::UnitFigures> units;
    std::vector<measure::DatasheetRow> rows;
    std::size_t monotonic = 0; // units shown monotonic
    // What the units were measured under and who by, each as one text,
    // which when the units differ gives each value with its units ("4 (7
    // units), 16 (1 unit)"): the traceability a reviewer signs.
    struct Condition {
        std::string label, value;
        bool differ = false;
    };
    std::vector<Condition> conditions;
    // The plans of the units' dynamic runs that count ("settle 0200 to FE00
    // ±2 LSB"), one a run: their figures are rows of the table too.
    std::vector<std::string> dynamicPlans;
    // Each unit's best-fit INL and DNL by code, from its stored readings;
    // only when pages are to be drawn.
    std::vector<report::Points> inl, dnl;
    int bits = 16;
};

// The datasheet of `lot` from its runs' stored figures (and readings, with
// `curves`).
Datasheet datasheetOf(results::Store& store, Lot lot, const LotChoice& choice, bool curves);

// "8 units: 5 PASS, 3 CONDITIONAL", with the units left out.
std::string countsText(const Datasheet& d);
// Where a figure's least or largest falls: "U3 at 7FFF".
std::string whereText(const Datasheet& d, const measure::DatasheetRow& row, bool largest);

// The pages: the table, INL and DNL of every unit with the median unit over
// them, a histogram per figure, offset and gain error by unit.
report::ReportData datasheetReport(const Datasheet& d);

} // namespace qd::run

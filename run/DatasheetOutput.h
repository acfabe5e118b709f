#pragma once

// What `qdctl datasheet` is asked and gives, for qdctl and the window
// alike: the lot read from the store as a reader reads it, the table as
// text cells and as CSV, and the files written, so that the window's export
// and the command line it logs write the same bytes.

#include "run/LotDatasheet.h"
#include "session/CommonOptions.h"

#include <string>
#include <vector>

namespace qd::run {

struct DatasheetRequest {
    LotChoice lot;
    std::string csv;    // the table as CSV, "-" for standard output
    std::string report; // the pages: NAME.pdf or NAME.html
};

// The CSV's first line.
inline constexpr const char* kDatasheetCsvHeader =
    "figure,units,min,typ,max,sigma,unit,limit,min_unit,min_code,max_unit,max_code\n";

// Refuses (Failure, BadArguments) what parses but makes no sense: --runs
// beside what chooses runs itself, a report that is neither PDF nor HTML.
void checkRequest(const DatasheetRequest& request);

// Refuses the outputs before the store is read: neither may be written
// over the store, the firmware or each other.
void checkOutputs(const session::CommonOptions& common, const DatasheetRequest& request);

// The lot `choice` names in the store `common` names, opened to read only
// (never made), with its curves when pages are to be drawn. Failures in
// qdctl's words: an unknown run (BadArguments), a store that cannot be read
// (WriteFailed), and lotOf's refusals.
Datasheet readDatasheet(const session::CommonOptions& common, const LotChoice& choice, bool curves);

// "typ and sigma need at least 3 units ...", or "" when the lot has them.
std::string fewUnitsNotice(const Datasheet& d);

// The unit at `index` in the table's order, "" for none.
std::string unitAt(const Datasheet& d, std::size_t index);

// The table's rows, as the CSV gives them after its header.
std::string datasheetCsv(const Datasheet& d);

// The lines above the table: the converter, counts and units left out, and
// each condition the units differ in.
std::vector<std::string> datasheetHeadings(const Datasheet& d);
// The table as text cells, its heading first: figure, units, min, typ,
// max, sigma, unit, limit, where the min and the max fall.
std::vector<std::vector<std::string>> datasheetCells(const Datasheet& d);

// Writes the CSV and the report `request` names (each when given).
void writeDatasheetFiles(const Datasheet& d, const DatasheetRequest& request);

} // namespace qd::run

#pragma once

#include "report/ReportData.h"
#include "results/Store.h"

#include <string>

namespace qd::qdctl {

struct CharacterizeResult;

// "PASS", "FAIL" or, for a run that ended before its plan was done,
// "INTERRUPTED": the verdict as the report, the text and the JSON say it.
std::string verdictWord(const CharacterizeResult& result);

// The figures as the results store keeps them, under their --json names.
std::vector<results::Figure> storedFigures(const CharacterizeResult& result);

// The report's words and plots from a characterization's result; its
// figures as rows, which the text output shows too.
report::ReportData reportDataOf(const CharacterizeResult& result);
std::vector<report::FigureRow> figureRows(const CharacterizeResult& result);

// Refuses a report path before any board is touched: not .html, .htm or
// .pdf, a folder, or the name of the firmware image or another output
// (Failure(BadArguments)); one that cannot be written (WriteFailed).
void checkReportPath(const std::string& report, const std::string& csv, const std::string& plot,
                     const std::string& firmware);

// Writes the plot and the report asked for (an empty path: not asked)
// with the one renderer, each into a file beside its path that takes its
// name once complete; Failure(WriteFailed) when one cannot be written.
class Renderer;
void writeCharacterization(const Renderer& renderer, const CharacterizeResult& result,
                           const std::string& plot, const std::string& report);

} // namespace qd::qdctl

#pragma once

#include "report/ReportData.h"
#include "results/Store.h"
#include "run/ResultsFile.h"

#include <string>

namespace qd::run {

struct CharacterizeResult;

// The figures as the results store keeps them, under their --json names;
// INL and DNL as NAME_min and NAME_max.
std::vector<results::Figure> storedFigures(const CharacterizeResult& result);

// The report's words and plots from a characterization's result; its
// figures as rows, which the text output shows too.
report::ReportData reportDataOf(const CharacterizeResult& result);
std::vector<report::FigureRow> figureRows(const CharacterizeResult& result);

// The verdict's one word as text, JSON and the report say it: "PASS",
// "FAIL" or "CONDITIONAL".
std::string verdictName(const CharacterizeResult& result);

// Refuses a report path before any board is touched: not .html, .htm or
// .pdf, a folder, or the name of the firmware image or another output
// (Failure(BadArguments)); one that cannot be written (WriteFailed).
void checkReportPath(const std::string& report, const std::string& csv, const std::string& plot,
                     const KeptFiles& kept);

// Writes the plot and the report asked for (an empty path: not asked)
// with the one renderer, each into a file beside its path that takes its
// name once complete; Failure(WriteFailed) when one cannot be written.
class Renderer;
void writeCharacterization(const Renderer& renderer, const CharacterizeResult& result,
                           const std::string& plot, const std::string& report);

} // namespace qd::run

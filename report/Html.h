#pragma once

// The report as text: one self-contained HTML page with its plots inline as
// SVG, and the plots alone as an SVG document. Standard C++ only.

#include "report/ReportData.h"

#include <string>

namespace qd::report {

// One plot as an <svg> element of `width` x `height` pixels.
std::string svgPlot(const PlotData& plot, double width, double height);

// Every plot stacked, as a standalone SVG document.
std::string svgDocument(const ReportData& data);

// The one-page report: no scripts, no links, nothing fetched.
std::string htmlPage(const ReportData& data);

} // namespace qd::report

#pragma once

#include "cli/Analysis.h"

#include <QString>
#include <vector>

namespace qd::cli {

// Draws measured against expected output and the error of a sweep into a
// PNG file, offscreen. Needs a QApplication. False if the file cannot be
// written.
bool writeSweepPlot(const std::vector<SweepRow>& rows, const QString& title, const QString& path);

} // namespace qd::cli

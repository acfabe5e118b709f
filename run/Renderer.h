#pragma once

#include "report/ReportData.h"

#include <string>

namespace qd::run {

// The one renderer: the report module, loaded beside qdctl only when a
// picture or a report is asked for, so that no other command loads Qt Gui.
class Renderer {
  public:
    // Raises Failure(LibraryFailed) when the module cannot be loaded.
    Renderer();

    // Writes `data` into a file beside `path` that takes its name once
    // complete: the report's page when `format` is "html" or "pdf" and not
    // `plotsOnly`, else its plots alone as "png", "svg" or "pdf". Raises
    // Failure(WriteFailed) when it cannot be written. The seconds it took.
    double write(const report::ReportData& data, const std::string& path, const std::string& format,
                 bool plotsOnly) const;

  private:
    report::WriteReport write_;
};

} // namespace qd::run

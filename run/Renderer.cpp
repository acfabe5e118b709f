#include "run/Renderer.h"

#include "run/Modules.h"
#include "run/ResultsFile.h"

#include <chrono>

namespace qd::run {

Renderer::Renderer()
    : write_(loadModule<report::WriteReport>(report::kReportModule, report::kWriteReportSymbol)) {}

double Renderer::write(const report::ReportData& data, const std::string& path,
                       const std::string& format, bool plotsOnly) const {
    const auto begin = std::chrono::steady_clock::now();
    writeBeside(path, plotsOnly ? "the plot" : "the report",
                [&](const std::string& partial, std::string& error) {
                    return write_(data, partial, format, plotsOnly, error);
                });
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

} // namespace qd::run

#include "drivers/Backend.h"

#include "board/BoardFacts.h"
#include "drivers/SimBoard.h"
#include "drivers/UsbBackend.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qd::drivers {

Backend& processBackend() {
    static const std::unique_ptr<Backend> backend = []() -> std::unique_ptr<Backend> {
        const char* choice = std::getenv("QD_BOARD");
        if (choice && std::strcmp(choice, "sim") == 0) {
            return std::make_unique<SimBackend>(SimConfig::fromEnvironment());
        }
        return std::make_unique<UsbBackend>(UsbOptions::fromEnvironment());
    }();
    return *backend;
}

void diagnose(const char* library, const std::string& operation, const std::string& what) {
    std::fprintf(stderr, "%s: %s: %s\n", library, operation.c_str(), what.c_str());
}

LinkResult fail(LinkStatus status, const char* library, const std::string& operation,
                const std::string& what) {
    diagnose(library, operation, what);
    return {status, std::string(library) + ": " + operation + ": " + what};
}

std::string BoardInfo::line() const {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vendor=%04x product=%04x", board::kVendorId, board::kProductId);
    return "id=" + std::to_string(id) + " bus=" + bus + " port=" + port + " " + ids +
           " firmware=" + firmware + " access=" + (access ? "yes" : "no");
}

} // namespace qd::drivers

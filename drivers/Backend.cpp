#include "drivers/Backend.h"

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
            return std::make_unique<SimBackend>(SimBoardConfig::fromEnvironment());
        }
        return std::make_unique<UsbBackend>(UsbOptions::fromEnvironment());
    }();
    return *backend;
}

void diagnose(const char* library, const std::string& operation, const std::string& what) {
    std::fprintf(stderr, "%s: %s: %s\n", library, operation.c_str(), what.c_str());
}

} // namespace qd::drivers

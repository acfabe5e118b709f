#include "drivers/Backend.h"

#include "drivers/SimBoard.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qd::drivers {

namespace {

// Stands in for real USB until a transport is built in: there is no board.
class NoUsbBackend final : public Backend {
  public:
    std::vector<int> findBoards() override {
        diagnose("USB", "find boards",
                 "no USB transport in this build; set QD_BOARD=sim for the simulated board");
        return {};
    }
    std::unique_ptr<BoardConnection> open(int) override { return nullptr; }
};

} // namespace

Backend& processBackend() {
    static const std::unique_ptr<Backend> backend = []() -> std::unique_ptr<Backend> {
        const char* choice = std::getenv("QD_BOARD");
        if (choice && std::strcmp(choice, "sim") == 0) {
            return std::make_unique<SimBackend>(SimBoardConfig::fromEnvironment());
        }
        return std::make_unique<NoUsbBackend>();
    }();
    return *backend;
}

void diagnose(const char* library, const char* operation, const std::string& what) {
    std::fprintf(stderr, "%s: %s: %s\n", library, operation, what.c_str());
}

} // namespace qd::drivers

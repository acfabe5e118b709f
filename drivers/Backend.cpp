#include "drivers/Backend.h"

#include "board/BoardFacts.h"
#include "drivers/SimBoard.h"
#include "drivers/UsbBackend.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qd::drivers {

namespace {

std::atomic<bool> quiet{false};

} // namespace

Backend& processBackend() {
    // A choice that raises is made again at the next call: a static whose
    // initialisation throws is not initialised.
    static const std::unique_ptr<Backend> backend = []() -> std::unique_ptr<Backend> {
        const char* choice = std::getenv("QD_BOARD");
        if (choice && std::strcmp(choice, "sim") == 0) {
            return std::make_unique<SimBackend>(SimConfig::fromEnvironment());
        }
        if (choice && *choice) {
            // "SIM" or "1" most likely mean the simulated board; running on
            // real USB instead would be the worst guess.
            refuseSetting("board choice", "QD_BOARD", choice,
                          "sim for the simulated board, or nothing (unset or empty) for real USB");
        }
        return std::make_unique<UsbBackend>(UsbOptions::fromEnvironment());
    }();
    return *backend;
}

void diagnose(const char* library, const std::string& operation, const std::string& what) {
    if (!quiet.load(std::memory_order_relaxed)) {
        std::fprintf(stderr, "%s: %s: %s\n", library, operation.c_str(), what.c_str());
    }
}

void beQuiet() {
    quiet.store(true, std::memory_order_relaxed);
}

void refuseSetting(const char* library, const char* variable, const std::string& value,
                   const std::string& takes) {
    throw LinkFailure(fail(LinkStatus::BadSetting, library, variable,
                           "\"" + value + "\" refused; it takes " + takes));
}

LinkResult failure(LinkStatus status, const char* library, const std::string& operation,
                   const std::string& what) {
    return {status, std::string(library) + ": " + operation + ": " + what};
}

LinkResult fail(LinkStatus status, const char* library, const std::string& operation,
                const std::string& what) {
    diagnose(library, operation, what);
    return failure(status, library, operation, what);
}

std::string BoardInfo::line() const {
    char ids[32];
    std::snprintf(ids, sizeof ids, "vendor=%04x product=%04x", board::kVendorId, board::kProductId);
    return "id=" + std::to_string(id) + " bus=" + bus + " port=" + port + " " + ids +
           " firmware=" + firmware + " access=" + (access ? "yes" : "no") +
           (serial.empty() ? "" : " serial=" + serial);
}

std::string listableSerial(const std::string& serial) {
    std::string word = serial;
    for (char& c : word) {
        if (c <= ' ' || c > '~' || c == '=') {
            c = '_';
        }
    }
    return word;
}

} // namespace qd::drivers

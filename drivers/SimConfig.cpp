#include "drivers/SimConfig.h"

#include "drivers/Backend.h"

#include <cmath>
#include <cstdlib>
#include <string_view>
#include <unistd.h>

namespace qd::drivers {

namespace {

const char* const kLibrary = "simulated board";

std::string envOr(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

void placeState(SimConfig& c) {
    c.statePath = envOr("QD_BOARD_STATE", "");
    if (!c.statePath.empty()) {
        return;
    }
    // The runtime folder is the user's alone by definition. Failing that, a
    // folder of our own in the shared temporary folder: a predictable file
    // name there could be made in advance by anyone.
    const std::string runtime = envOr("XDG_RUNTIME_DIR", "");
    if (!runtime.empty()) {
        c.statePath = runtime + "/qd1600-board.state";
        return;
    }
    c.privateFolder = envOr("TMPDIR", "/tmp") + "/qd1600-" + std::to_string(::geteuid());
    c.statePath = c.privateFolder + "/board.state";
}

void parseFaults(SimConfig& c, const std::string& faults) {
    std::string_view rest = faults;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string fault(rest.substr(0, comma));
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
        constexpr std::string_view unplug = "unplug-after=";
        if (fault == "download-fails") {
            c.downloadFails = true;
        } else if (fault == "no-reply") {
            c.noReply = true;
        } else if (fault == "ignore-power-down") {
            c.ignorePowerDown = true;
        } else if (fault.rfind(unplug, 0) == 0) {
            const char* digits = fault.c_str() + unplug.size();
            char* end = nullptr;
            const long n = std::strtol(digits, &end, 10);
            if (*digits == '\0' || *end != '\0' || n < 0) {
                diagnose(kLibrary, "QD_BOARD_FAULT", "not a number of requests: " + fault);
            } else {
                c.unplugAfter = n;
            }
        } else if (!fault.empty()) {
            diagnose(kLibrary, "QD_BOARD_FAULT", "unknown fault: " + fault);
        }
    }
}

} // namespace

SimConfig SimConfig::fromEnvironment() {
    SimConfig c;
    placeState(c);
    c.tracePath = envOr("QD_BOARD_TRACE", "");
    const std::string vref = envOr("QD_BOARD_VREF", "");
    if (!vref.empty()) {
        char* end = nullptr;
        const double v = std::strtod(vref.c_str(), &end);
        if (end && *end == '\0' && std::isfinite(v) && v > 0) {
            c.referenceVolts = v;
        } else {
            diagnose(kLibrary, "QD_BOARD_VREF", "not a positive voltage: " + vref);
        }
    }
    parseFaults(c, envOr("QD_BOARD_FAULT", ""));
    return c;
}

} // namespace qd::drivers

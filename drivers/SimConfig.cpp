#include "drivers/SimConfig.h"

#include "drivers/Backend.h"
#include "drivers/Platform.h"

#include <cmath>
#include <cstdlib>
#include <string_view>

namespace qd::drivers {

namespace {

const char* const kLibrary = "simulated board";

std::string envOr(const char* name, const std::string& fallback) {
    std::string value = platform::environment(name);
    return value.empty() ? fallback : value;
}

void placeState(SimConfig& c) {
    c.statePath = envOr("QD_BOARD_STATE", "");
    if (!c.statePath.empty()) {
        return;
    }
    const platform::StatePlace place = platform::defaultStatePlace();
    c.statePath = place.file;
    c.privateFolder = place.privateFolder;
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

#include "drivers/SimState.h"

#include "drivers/Platform.h"

#include <algorithm>
#include <cstring>

namespace qd::drivers::simstate {

LinkResult refusal(const std::string& what, const std::string& path, const std::string& reason) {
    return failure(LinkStatus::StateRefused, kLibrary, what + " " + path, "refused: " + reason);
}

LinkResult refuse(const std::string& what, const std::string& path, const std::string& reason) {
    return fail(LinkStatus::StateRefused, kLibrary, what + " " + path, "refused: " + reason);
}

std::string recordProblem(const SimRecord& r) {
    if (r.magic != SimRecord::kMagic) {
        return "it holds something other than a board record";
    }
    if (r.version != SimRecord::kVersion) {
        return "it holds a board record of version " + std::to_string(r.version) +
               ", this build reads version " + std::to_string(SimRecord::kVersion);
    }
    return "";
}

SimStateView viewOfRead(bool whole, const SimRecord& r, const std::string& path) {
    SimStateView view;
    if (!whole) {
        view.result = refusal("state file", path, "it could not be read whole");
    } else if (const auto problem = recordProblem(r); !problem.empty()) {
        view.result = refusal("state file", path, problem);
    } else {
        view.record = r;
    }
    return view;
}

std::string sizeProblem(unsigned long long size) {
    if (size == SimRecord::kVersion1Size) {
        return "it holds a board record of version 1, which this build does not read; remove it "
               "and the board starts as just powered up";
    }
    if (size != 0 && size != sizeof(SimRecord)) {
        return "it holds " + std::to_string(size) + " bytes, not a board record";
    }
    return "";
}

void markHeld(SimRecord& r) {
    r.holderPid = static_cast<std::int32_t>(platform::processId());
    const std::string name = platform::processName();
    r.holderName = {};
    std::copy_n(name.begin(), std::min(name.size(), r.holderName.size() - 1), r.holderName.begin());
}

void markFree(SimRecord& r) {
    r.holderPid = 0;
    r.holderName = {};
}

std::string describeHolder(int pid, const SimRecord* record) {
    if (pid <= 0) {
        return "another process";
    }
    std::string name = platform::processName(pid);
    if (name.empty() && record && record->holderPid == pid) {
        name.assign(record->holderName.data(),
                    strnlen(record->holderName.data(), record->holderName.size()));
    }
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

} // namespace qd::drivers::simstate

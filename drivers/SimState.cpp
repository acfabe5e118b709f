#include "drivers/SimState.h"

#include "drivers/Platform.h"

#include <algorithm>
#include <cstring>

namespace qd::drivers {

void SimClaim::fit(const ConverterModel& model) {
    record_->model = model;
    record_->modelFitted = 1;
    converter_ = model;
    fitted_ = true;
}

void SimClaim::powerUp() {
    SimRecord fresh;
    fresh.model = converter_;
    fresh.modelFitted = fitted_ ? 1 : 0;
    simstate::markHeld(fresh);
    *record_ = fresh;
}

SimRecord* SimClaim::record(std::string& lostPower, LinkResult& why) {
    // Someone else may empty, replace or overwrite the file while this
    // process holds it: the lock is only advisory. Each request looks at the
    // open file first (what became of it) and at the record (whether it is
    // still one); what was cut short under a request that was already
    // under way reads as zeros rather than ending the process (POSIX's
    // SimStatePosix.cpp), and this look finds it at the next request.
    lostPower.clear();
    const Look now = look();
    if (now == Look::Replaced) {
        // The file now at the path is the board's state: it is claimed as
        // any state file is, refused as any would be, and the one that was
        // replaced is let go as it is.
        std::unique_ptr<SimClaim> next = take(config_, why);
        if (!next) {
            return nullptr;
        }
        std::swap(hold_, next->hold_);
        std::swap(record_, next->record_);
        lostPower = "replaced or removed";
    } else if (now == Look::Intact && simstate::recordProblem(*record_).empty()) {
        return record_;
    } else if (!restore()) {
        why = simstate::refuse("state file", config_.statePath,
                               "it was cut short and cannot be made whole again");
        return nullptr;
    } else {
        lostPower = now == Look::CutShort ? "emptied or cut short" : "overwritten";
    }
    powerUp();
    return record_;
}

} // namespace qd::drivers

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

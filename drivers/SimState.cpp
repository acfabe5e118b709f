#include "drivers/SimState.h"

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Lock.h"
#include "platform/MappedRecord.h"
#include "platform/PrivateFile.h"
#include "platform/Process.h"

#include <algorithm>
#include <cstring>

namespace qd::drivers {

using qd::platform::FileFate;
using qd::platform::PathLook;

// The claimed file, open (and, once claimed, locked) for as long as this
// lives.
struct SimClaim::Hold {
    // `path` opened as the state file: to read it, or to claim it (made if
    // missing). Not valid, with the reason in `why`, when it cannot be.
    Hold(const std::string& path, qd::platform::Access access, std::string& why);
    // Closing the file lets go of the lock.
    ~Hold();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    bool valid() const { return file != qd::platform::kNoFile; }
    // Why the open file must not be used, or "", with its size as it is now.
    std::string problem(std::uint64_t& size);

    qd::platform::FileHandle file;
    // The file as it was when last looked at: whatever else the path names
    // later is another file.
    qd::platform::FileIdentity seen;
};

SimClaim::Hold::Hold(const std::string& path, qd::platform::Access access, std::string& why)
    : file(qd::platform::openUnfollowed(path, access)) {
    if (!valid()) {
        why = qd::platform::whyNotOpened(access);
    }
}

SimClaim::Hold::~Hold() {
    if (valid()) {
        qd::platform::unlock(file);
        qd::platform::closeFile(file);
    }
}

// One that others may write is as good as theirs: they could make the board
// say anything.
std::string SimClaim::Hold::problem(std::uint64_t& size) {
    std::string problem = qd::platform::privateFileProblem(file, seen, size);
    return problem.empty() ? sizeProblem(size) : problem;
}

namespace {

std::string version2Problem() {
    return "it holds " + std::to_string(SimRecord::kVersion2Size) + " bytes, not a board record";
}

// The holder's name as the system tells first, since whoever holds the lock
// may not have written the record (a `flock` command, say).
std::string holderOf(const SimClaim::Hold& hold) {
    SimRecord r;
    const bool haveRecord =
        qd::platform::readAt(hold.file, &r, sizeof r, 0) && recordProblem(r).empty();
    // Windows does not tell who holds a lock: the record does.
    int pid = qd::platform::lockHolder(hold.file);
    if (pid <= 0 && haveRecord) {
        pid = r.holderPid;
    }
    return describeHolder(pid, haveRecord ? &r : nullptr);
}

} // namespace

SimStateView peekSimState(const SimConfig& config) {
    SimStateView view;
    if (!config.privateFolder.empty()) {
        const PathLook folder = qd::platform::lookAtPrivateFolder(config.privateFolder);
        if (folder.kind == PathLook::Missing) {
            return view;
        }
        if (folder.kind != PathLook::Fine) {
            view.result = refusal("state folder", config.privateFolder, folder.problem);
            return view;
        }
    }
    const std::string& path = config.statePath;
    const PathLook at = qd::platform::lookAtPrivateFile(path);
    if (at.kind == PathLook::Missing) {
        return view;
    }
    if (at.kind != PathLook::Fine) {
        view.result = refusal("state file", path, at.problem);
        return view;
    }
    std::string why;
    SimClaim::Hold file(path, qd::platform::Access::Read, why);
    if (!file.valid()) {
        view.result = refusal("state file", path, why);
        return view;
    }
    std::uint64_t size = 0;
    if (const auto problem = file.problem(size); !problem.empty()) {
        view.result = refusal("state file", path, problem);
        return view;
    }
    if (size == 0) {
        return view;
    }
    if (size == SimRecord::kVersion2Size) {
        std::array<unsigned char, SimRecord::kVersion2Size> old{};
        if (!qd::platform::readAt(file.file, old.data(), old.size(), 0) ||
            !poweredUpFromVersion2(old.data(), view.record)) {
            view.result = refusal("state file", path, version2Problem());
        }
        return view;
    }
    SimRecord r;
    const bool whole = qd::platform::readAt(file.file, &r, sizeof r, 0);
    return viewOfRead(whole, r, path);
}

std::unique_ptr<SimClaim> SimClaim::take(const SimConfig& config, LinkResult& why) {
    if (!config.privateFolder.empty()) {
        if (const auto problem = qd::platform::makePrivateFolder(config.privateFolder);
            !problem.empty()) {
            why = refuse("state folder", config.privateFolder, problem);
            return nullptr;
        }
    }
    const std::string& path = config.statePath;
    // Looked at before it is opened, so that a link, a folder or a device
    // named by mistake is never opened; what was opened is checked again.
    if (const PathLook at = qd::platform::lookAtPrivateFile(path); at.kind == PathLook::Refused) {
        why = refuse("state file", path, at.problem);
        return nullptr;
    }
    std::string reason;
    auto hold = std::make_unique<Hold>(path, qd::platform::Access::ReadWriteOrCreate, reason);
    if (!hold->valid()) {
        why = refuse("state file", path, reason);
        return nullptr;
    }
    std::uint64_t size = 0;
    if (const auto problem = hold->problem(size); !problem.empty()) {
        why = refuse("state file", path, problem);
        return nullptr;
    }
    switch (qd::platform::lockWithin(hold->file, config.claimWait, reason)) {
    case qd::platform::LockAttempt::Taken:
        break;
    case qd::platform::LockAttempt::Held:
        why = fail(LinkStatus::Busy, kSimStateLibrary, "open",
                   "board busy: held by " + holderOf(*hold));
        return nullptr;
    case qd::platform::LockAttempt::Failed:
        why = refuse("state file", path, "cannot lock it: " + reason);
        return nullptr;
    }
    // The lock is let go with the file, on every way out from here.
    // Whoever held it before may have just made the record.
    if (const auto problem = hold->problem(size); !problem.empty()) {
        why = refuse("state file", path, problem);
        return nullptr;
    }
    if (size == 0 || size == SimRecord::kVersion2Size) {
        // A board just powered up; an older build's, with its converter.
        SimRecord fresh;
        std::array<unsigned char, SimRecord::kVersion2Size> old{};
        if (size != 0 && (!qd::platform::readAt(hold->file, old.data(), old.size(), 0) ||
                          !poweredUpFromVersion2(old.data(), fresh))) {
            why = refuse("state file", path, version2Problem());
            return nullptr;
        }
        if (!qd::platform::writeAt(hold->file, &fresh, sizeof fresh, 0)) {
            why = refuse("state file", path, "cannot write it: " + qd::platform::lastErrorText());
            return nullptr;
        }
    }
    auto* record =
        static_cast<SimRecord*>(qd::platform::mapRecord(hold->file, sizeof(SimRecord), reason));
    if (!record) {
        why = refuse("state file", path, "cannot map it: " + reason);
        return nullptr;
    }
    qd::platform::guardRecord(record);
    if (const auto problem = recordProblem(*record); !problem.empty()) {
        qd::platform::unguardRecord(record);
        qd::platform::unmapRecord(record, sizeof(SimRecord));
        why = refuse("state file", path, problem);
        return nullptr;
    }
    markHeld(*record);
    return std::unique_ptr<SimClaim>(new SimClaim(std::move(hold), record, config));
}

SimClaim::SimClaim(std::unique_ptr<Hold> hold, SimRecord* record, const SimConfig& config)
    : hold_(std::move(hold)), record_(record), config_(config), converter_(record->model),
      fitted_(record->modelFitted != 0), lastLook_(qd::platform::coarseClock()) {}

SimClaim::~SimClaim() {
    if (recordProblem(*record_).empty()) {
        markFree(*record_);
    }
    qd::platform::unguardRecord(record_);
    qd::platform::unmapRecord(record_, sizeof(SimRecord));
}

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
    markHeld(fresh);
    *record_ = fresh;
}

bool SimClaim::lookDue() {
    const auto now = qd::platform::coarseClock();
    if (now - lastLook_ < config_.lookEvery) {
        return false;
    }
    lastLook_ = now;
    return true;
}

SimRecord* SimClaim::record(std::string& lostPower, LinkResult& why) {
    // Someone else may empty, replace or overwrite the file while this
    // process holds it: the lock is only advisory. What is done to its bytes
    // shows in the mapped record, which each request checks: emptied or cut
    // short, the record reads as zeros past the file's end (a guarded
    // record, platform/MappedRecord.h: POSIX systems would end the process
    // there), overwritten it is no board record. A file put in its place
    // or removed leaves the record as it was, on a file that lost its name:
    // only a look at the open file, a system call, finds that. It is made
    // when the record is wrong, to tell what happened, and otherwise once
    // per config.lookEvery at most, which costs a request nearly nothing.
    lostPower.clear();
    if (isBoardRecord(*record_) && !lookDue()) {
        return record_;
    }
    const FileFate now =
        qd::platform::fateOf(hold_->file, config_.statePath, hold_->seen, sizeof(SimRecord));
    if (now == FileFate::Replaced) {
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
    } else if (now == FileFate::Intact && isBoardRecord(*record_)) {
        return record_;
    } else if (!qd::platform::remapRecord(hold_->file, record_, sizeof(SimRecord))) {
        why = refuse("state file", config_.statePath,
                     "it was cut short and cannot be made whole again");
        return nullptr;
    } else {
        lostPower = now == FileFate::CutShort ? "emptied or cut short" : "overwritten";
    }
    powerUp();
    return record_;
}

} // namespace qd::drivers

namespace qd::drivers {

LinkResult refusal(const std::string& what, const std::string& path, const std::string& reason) {
    return failure(LinkStatus::StateRefused, kSimStateLibrary, what + " " + path,
                   "refused: " + reason);
}

LinkResult refuse(const std::string& what, const std::string& path, const std::string& reason) {
    return fail(LinkStatus::StateRefused, kSimStateLibrary, what + " " + path,
                "refused: " + reason);
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
    if (size != 0 && size != sizeof(SimRecord) && size != SimRecord::kVersion2Size) {
        return "it holds " + std::to_string(size) + " bytes, not a board record";
    }
    return "";
}

bool poweredUpFromVersion2(const void* bytes, SimRecord& poweredUp) {
    const auto* old = static_cast<const unsigned char*>(bytes);
    std::uint32_t version = 0;
    std::memcpy(&version, old + offsetof(SimRecord, version), sizeof version);
    if (std::memcmp(old, SimRecord::kMagic.data(), SimRecord::kMagic.size()) != 0 || version != 2) {
        return false;
    }
    poweredUp = SimRecord{};
    poweredUp.modelFitted = old[offsetof(SimRecord, modelFitted)];
    // Its converter is the first part of this one (SimState.h).
    std::memcpy(static_cast<void*>(&poweredUp.model), old + offsetof(SimRecord, model),
                SimRecord::kVersion2Size - offsetof(SimRecord, model));
    return true;
}

void markHeld(SimRecord& r) {
    r.holderPid = static_cast<std::int32_t>(qd::platform::processId());
    const std::string name = qd::platform::processName();
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
    std::string name = qd::platform::processName(pid);
    if (name.empty() && record && record->holderPid == pid) {
        name.assign(record->holderName.data(),
                    strnlen(record->holderName.data(), record->holderName.size()));
    }
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

} // namespace qd::drivers

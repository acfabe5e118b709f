#include "drivers/SimBoard.h"

#include "drivers/IntelHex.h"
#include "drivers/SimFaults.h"
#include "drivers/SimFirmware.h"
#include "drivers/SimState.h"

namespace qd::drivers {

namespace {

const char* const kLibrary = "simulated board";

class SimConnection final : public BoardConnection {
  public:
    SimConnection(std::shared_ptr<const SimConfig> config, std::shared_ptr<SimFaults> faults,
                  std::shared_ptr<SimClaim> claim)
        : config_(std::move(config)), faults_(std::move(faults)), claim_(std::move(claim)),
          trace_(config_->tracePath) {
        model_.referenceVolts = config_->referenceVolts;
        model_.faults.ignorePowerDown = config_->ignorePowerDown;
    }

    LinkResult downloadFirmware(const std::string& path) override {
        LinkResult result = download(path);
        trace_.download(path, result);
        return result;
    }

    LinkResult request(const VendorRequest& r) override {
        std::array<std::uint8_t, 2> reply{};
        bool replied = false;
        LinkResult result = handle(r, reply, replied);
        if (trace_.on()) {
            trace_.request(r, reply.data(), replied ? reply.size() : 0, result);
        }
        return result;
    }

  private:
    LinkResult download(const std::string& path) {
        if (faults_->unplugged()) {
            return fail(LinkStatus::NoBoard, kLibrary, "download", "board unplugged");
        }
        // The image is checked before the board is touched, as the USB
        // library does it.
        HexImage image;
        try {
            image = readIntelHexFile(path);
        } catch (const IntelHexError& e) {
            return fail(LinkStatus::BadImage, kLibrary, "download",
                        "firmware image " + path + ": " + e.what());
        }
        if (!isSimulatedBoardFirmware(image)) {
            return fail(LinkStatus::BadImage, kLibrary, "download",
                        path + ": not a firmware image for this board");
        }
        std::string lostPower;
        LinkResult why;
        SimRecord* record = claim_->record(lostPower, why);
        if (!record) {
            return why;
        }
        if (faults_->downloadFails()) {
            // The board was held in reset and has not come back running.
            record->firmwareLoaded = 0;
            return fail(LinkStatus::DownloadFailed, kLibrary, "download", "fault: download fails");
        }
        // The microcontroller restarts: the converter powers up at 0 V.
        record->written = 0;
        record->lastValue = 0;
        record->lastIndex = 0;
        record->previousWritten = 0;
        record->previousValue = 0;
        record->previousIndex = 0;
        record->requests = 0;
        record->firmwareLoaded = 1;
        return {};
    }

    LinkResult handle(const VendorRequest& r, std::array<std::uint8_t, 2>& reply, bool& replied) {
        if (faults_->unplugged()) {
            return fail(LinkStatus::NoBoard, kLibrary, "request", "board unplugged");
        }
        std::string lostPower;
        LinkResult why;
        SimRecord* state = claim_->record(lostPower, why);
        if (!state) {
            return why;
        }
        SimRecord& record = *state;
        if (!record.firmwareLoaded) {
            // As a real board after its power was cut: it runs no firmware.
            return fail(LinkStatus::RequestFailed, kLibrary, "request",
                        lostPower.empty() ? "no firmware loaded"
                                          : "no firmware loaded: the board lost its power (its "
                                            "state file " +
                                                config_->statePath + " was " + lostPower + ")");
        }
        if (faults_->unplugsAt(++record.requests)) {
            return fail(LinkStatus::NoBoard, kLibrary, "request", "board unplugged");
        }
        model_.written = record.written != 0;
        model_.lastValue = record.lastValue;
        model_.lastIndex = record.lastIndex;
        model_.previousWritten = record.previousWritten != 0;
        model_.previousValue = record.previousValue;
        model_.previousIndex = record.previousIndex;
        model_.updates = record.updates;
        model_.converter = record.model;
        bool ok = false;
        if (r.code == kRequestWriteFrame && r.direction == 0 && r.length == 0) {
            ok = model_.writeFrame(r.value, r.index);
            if (ok) {
                record.lastValue = model_.lastValue;
                record.lastIndex = model_.lastIndex;
                record.written = 1;
                record.previousValue = model_.previousValue;
                record.previousIndex = model_.previousIndex;
                record.previousWritten = model_.previousWritten ? 1 : 0;
                // Last, so that a watcher who sees it change sees the step.
                record.updates = model_.updates;
                // What a look at the output needs beyond the frame.
                record.referenceVolts = model_.referenceVolts;
                record.ignorePowerDown = model_.faults.ignorePowerDown ? 1 : 0;
            }
        } else if (r.code == kRequestReadConverter && r.direction == 1 && r.length >= 2 &&
                   r.buffer) {
            reply = model_.readReply(record.requests);
            replied = true;
            if (!faults_->noReply()) {
                r.buffer[0] = reply[0];
                r.buffer[1] = reply[1];
            }
            ok = true;
        }
        if (!ok) {
            return fail(LinkStatus::RequestFailed, kLibrary, "request",
                        "request " + std::to_string(r.code) + " refused");
        }
        return {};
    }

    std::shared_ptr<const SimConfig> config_;
    std::shared_ptr<SimFaults> faults_;
    std::shared_ptr<SimClaim> claim_;
    SimTrace trace_;
    BoardModel model_;
};

} // namespace

LinkResult checkConverter(const SimRecord& record, const SimConfig& config, bool quiet) {
    if (!record.modelFitted || !config.model || *config.model == record.model) {
        return {};
    }
    const std::string what = "\"" + config.model->text() + "\" refused: the board in " +
                             config.statePath + " is fitted with the converter \"" +
                             record.model.text() +
                             "\". Unset QD_BOARD_MODEL to use it; for a board with another "
                             "converter, remove that file or name another QD_BOARD_STATE";
    return (quiet ? failure : fail)(LinkStatus::BadSetting, kLibrary, "QD_BOARD_MODEL", what);
}

SimOutput peekSimOutput(const SimConfig& config) {
    SimOutput out;
    const SimStateView state = peekSimState(config);
    if (!(out.result = state.result)) {
        return out;
    }
    const SimRecord& r = state.record;
    if (!(out.result = checkConverter(r, config, true))) {
        return out;
    }
    out.model.written = r.firmwareLoaded && r.written;
    out.model.lastValue = r.lastValue;
    out.model.lastIndex = r.lastIndex;
    out.model.previousWritten = r.firmwareLoaded && r.previousWritten;
    out.model.previousValue = r.previousValue;
    out.model.previousIndex = r.previousIndex;
    out.model.updates = r.updates;
    out.model.referenceVolts = r.referenceVolts > 0 ? r.referenceVolts : config.referenceVolts;
    out.model.faults.ignorePowerDown = r.ignorePowerDown != 0;
    out.model.converter = r.modelFitted ? r.model : config.model.value_or(ConverterModel{});
    return out;
}

SimBackend::SimBackend(SimConfig config) : faults_(std::make_shared<SimFaults>(config)) {
    for (int board = 1; board <= config.boardCount; ++board) {
        boards_.push_back({std::make_shared<const SimConfig>(config.forBoard(board)), {}});
    }
}

SimBackend::~SimBackend() = default;

std::vector<int> SimBackend::findBoards() {
    if (faults_->unplugged()) {
        return {};
    }
    std::vector<int> ids;
    for (std::size_t i = 1; i <= boards_.size(); ++i) {
        ids.push_back(static_cast<int>(i));
    }
    return ids;
}

std::vector<BoardInfo> SimBackend::listBoards() {
    if (faults_->unplugged()) {
        return {};
    }
    std::vector<BoardInfo> infos;
    for (const Board& board : boards_) {
        const SimStateView state = peekSimState(*board.config);
        BoardInfo info;
        info.id = static_cast<int>(infos.size() + 1);
        info.bus = "sim";
        info.port = "-";
        info.access = static_cast<bool>(state.result);
        info.firmware = !state.result ? "unknown" : state.record.firmwareLoaded ? "yes" : "no";
        info.serial = SimConfig::serialOf(info.id);
        infos.push_back(info);
    }
    return infos;
}

std::unique_ptr<BoardConnection> SimBackend::openBoard(int board, LinkResult& why) {
    if (board < 1 || static_cast<std::size_t>(board) > boards_.size() || faults_->unplugged()) {
        why = fail(LinkStatus::NoBoard, kLibrary, "open", "no board " + std::to_string(board));
        return nullptr;
    }
    const std::lock_guard lock(mutex_);
    Board& chosen = boards_[static_cast<std::size_t>(board - 1)];
    const std::shared_ptr<const SimConfig>& config = chosen.config;
    std::shared_ptr<SimClaim> claim = chosen.claim.lock();
    if (!claim) {
        claim = SimClaim::take(*config, why);
        if (!claim) {
            return nullptr;
        }
        std::string lostPower;
        const SimRecord* record = claim->record(lostPower, why);
        if (!record) {
            return nullptr;
        }
        if (!record->modelFitted) {
            claim->fit(config->model.value_or(ConverterModel{}));
        } else if (!(why = checkConverter(*record, *config, false))) {
            return nullptr;
        }
        chosen.claim = claim;
    }
    return std::make_unique<SimConnection>(config, faults_, std::move(claim));
}

} // namespace qd::drivers

#include "session/Session.h"

#include "control/DataWord.h"
#include "link/UsbStuff.h"
#include "scpi/Parser.h"
#include "scpi/PowerModes.h"

#include <algorithm>
#include <sstream>

namespace qd::session {

using control::DeviceProfile;
using control::findDevice;
using control::ReadVoltage;
using control::RuntimeError;
using control::SendDacWord;

void fail(const link::LinkOutcome& outcome) {
    throw Failure(exitStatusFor(outcome.status), outcome.message);
}

std::int16_t CheckedBinding::vendorRequest(std::int16_t request, std::int32_t value,
                                           std::int32_t index, std::int16_t direction,
                                           std::int16_t length, std::uint8_t* buffer) {
    const auto begin = std::chrono::steady_clock::now();
    const link::LinkOutcome outcome =
        inner_.request(request, value, index, direction, length, buffer);
    timeInLibrary += std::chrono::steady_clock::now() - begin;
    if (!outcome.ok()) {
        fail(outcome);
    }
    return 0;
}

std::unique_ptr<link::LinkBinding> makeBinding(int link) {
    if (link == 1) {
        return std::make_unique<link::UsbFunctionsBinding>();
    }
    return std::make_unique<link::QnsBinding>(QD_LINK2_PATH);
}

Session::Session(std::unique_ptr<link::LinkBinding> binding)
    : binding_(std::move(binding)), checked_(*binding_), comms_(checked_, state) {
    state.applyStartupDefaults();
}

void Session::connect(int board) {
    if (const auto outcome = checked_.connect(board); !outcome.ok()) {
        fail(outcome);
    }
    board_ = board;
}

BoardFields boardFields(const std::string& line) {
    BoardFields fields;
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) {
            fields.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        }
    }
    return fields;
}

std::string fieldOf(const BoardFields& fields, std::string_view key) {
    for (const auto& [k, value] : fields) {
        if (k == key) {
            return value;
        }
    }
    return {};
}

BoardFields listedBoard(link::LinkBinding& binding, int board) {
    const auto boards = binding.boards();
    if (!boards) {
        return {};
    }
    for (const auto& line : *boards) {
        BoardFields fields = boardFields(line);
        if (board == 0 || fieldOf(fields, "id") == std::to_string(board)) {
            return fields;
        }
    }
    return {};
}

std::string boardIdentifier(link::LinkBinding& binding, int board) {
    return boardIdentifier(listedBoard(binding, board), board);
}

std::string boardIdentifier(const BoardFields& fields, int board) {
    const std::string bus = fieldOf(fields, "bus");
    if (bus == "sim") {
        const std::string id = fieldOf(fields, "id");
        return id.empty() || id == "1" ? "sim" : "sim-" + id;
    }
    if (!bus.empty()) {
        return bus + "-" + fieldOf(fields, "port");
    }
    const std::string id = fieldOf(fields, "id");
    return id.empty() ? std::to_string(board == 0 ? 1 : board) : id;
}

int boardOf(link::LinkBinding& binding, const CommonOptions& common) {
    if (common.boardSerial.empty()) {
        return common.board;
    }
    std::string serials;
    for (const auto& line : binding.boards().value_or(std::vector<std::string>{})) {
        const BoardFields fields = boardFields(line);
        const std::string serial = fieldOf(fields, "serial");
        if (!serial.empty() && scpi::equalsIgnoringCase(serial, common.boardSerial)) {
            return std::stoi(fieldOf(fields, "id"));
        }
        if (!serial.empty()) {
            serials += (serials.empty() ? "" : ", ") + serial;
        }
    }
    throw Failure(NoBoard, "no board with the serial " + common.boardSerial +
                               (serials.empty() ? std::string("; no board here lists a serial")
                                                : "; the boards here: " + serials) +
                               " (qdctl list)");
}

link::LinkOutcome Session::askForAReading() {
    std::array<std::uint8_t, 4> reply{};
    return checked_.request(board::kRequestReadConverter, 0, 0, 1, board::kReadConverterLength,
                            reply.data());
}

void Session::claim() {
    if (const auto outcome = askForAReading(); !outcome.ok()) {
        fail(outcome);
    }
}

bool Session::firmwareRuns() {
    // Asking the list spares the board a request that is expected to fail,
    // and the user its diagnostic; a real board's list says "unknown".
    const std::string listed = fieldOf(listedBoard(checked_, board_), "firmware");
    if (listed == "yes" || listed == "no") {
        return listed == "yes";
    }
    const auto outcome = askForAReading();
    if (outcome.ok()) {
        return true;
    }
    // Only a board that is there and refuses the request may be loaded.
    if (outcome.status != board::LinkStatus::RequestFailed) {
        fail(outcome);
    }
    return false;
}

bool Session::ensureFirmware(const std::string& firmwarePath, bool force) {
    if (!force && firmwareRuns()) {
        return false;
    }
    link::PathBufferArray path{};
    // The library opens the path in the system's code page, as the windowed
    // programs hand it over.
    const std::vector<int> codes =
        link::pathCharacterCodes(QByteArray::fromStdString(firmwarePath));
    if (std::any_of(codes.begin(), codes.end(), [](int c) { return c > 255; })) {
        throw Failure(BadArguments, "firmware path " + firmwarePath +
                                        ": a character in it is not in the system's code page, "
                                        "in which the link library takes paths");
    }
    try {
        link::FillPathBuffer(codes, path);
    } catch (const RuntimeError&) {
        throw Failure(BadArguments, "firmware path too long: " + firmwarePath);
    }
    const auto outcome = checked_.download(reinterpret_cast<char*>(path.data()));
    if (!outcome.ok()) {
        fail({outcome.status,
              "firmware download failed (" + firmwarePath + "): " + outcome.message});
    }
    return true;
}

void Session::program(std::int32_t code) {
    if (!device_) {
        throw Failure(BadArguments, "no device chosen");
    }
    state.DacWord = code;
    SendDacWord(state, comms_);
}

Session::Reading Session::read() {
    const double volts = ReadVoltage(state, comms_);
    return {state.AdcReading, volts};
}

const DeviceProfile& DeviceChoice::deviceProfile() const {
    if (const DeviceProfile* profile = findDevice(device)) {
        return *profile;
    }
    throw Failure(BadArguments, "no device chosen: give --device");
}

std::int16_t DeviceChoice::powerMode() const {
    if (const auto found = scpi::findPowerMode(mode)) {
        return *found;
    }
    throw Failure(BadArguments, "unknown power mode " + mode);
}

Opened openSession(const CommonOptions& common, const DeviceChoice& device, bool load) {
    Opened opened{std::make_unique<Session>(makeBinding(common.link))};
    Session& s = *opened.session;
    s.connect(boardOf(s.binding(), common));
    if (load) {
        opened.downloaded = s.ensureFirmware(firmwarePathOf(common), common.download);
    }
    if (!device.device.empty()) {
        s.selectDevice(device.deviceProfile());
        s.state.selectPowerMode(device.powerMode());
    }
    return opened;
}

std::string programFolder() {
    return link::programDirectory().toStdString();
}

std::string firmwarePathOf(const CommonOptions& common) {
    return common.firmware.empty() ? link::firmwarePathIn(link::programDirectory()).toStdString()
                                   : common.firmware;
}

} // namespace qd::session

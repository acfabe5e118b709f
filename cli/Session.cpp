#include "cli/Session.h"

#include "control/Commands.h"
#include "link/UsbStuff.h"

#include <array>

namespace qd::cli {

std::int16_t CheckedBinding::vendorRequest(std::int16_t request, std::int32_t value,
                                           std::int32_t index, std::int16_t direction,
                                           std::int16_t length, std::uint8_t* buffer) {
    const auto begin = std::chrono::steady_clock::now();
    const std::int16_t result =
        inner_.vendorRequest(request, value, index, direction, length, buffer);
    timeInLibrary += std::chrono::steady_clock::now() - begin;
    if (!inner_.requestSucceeded(result)) {
        throw Failure(RequestFailed, "request " + std::to_string(request) +
                                         " failed (link library result " + std::to_string(result) +
                                         ")");
    }
    return result;
}

namespace {

std::unique_ptr<link::LinkBinding> makeBinding(int variant, const std::string& link2Path) {
    if (variant == 1) {
        return std::make_unique<link::UsbFunctionsBinding>();
    }
    return std::make_unique<link::QnsBinding>(link2Path);
}

// Takes the frame and sends nothing: the data word is validated and composed
// exactly as the window does, before anything reaches the board.
struct DryRun final : Board {
    void WriteShiftRegister(std::int16_t, std::int32_t) override {}
    std::int32_t ReadConverter() override { return 0; }
};

} // namespace

std::string validatedCode(const DeviceProfile& device, const std::string& typed) {
    ControlState state;
    state.selectDevice(device);
    DryRun dry;
    const ProgramOutcome outcome = ProgramDac(typed, state, dry);
    if (outcome.failed) {
        throw Failure(BadCode, "bad code \"" + typed +
                                   "\": up to eight hexadecimal digits, no prefix or sign");
    }
    return outcome.text;
}

Session::Session(int variant, const std::string& link2Path)
    : variant_(variant), binding_(makeBinding(variant, link2Path)), checked_(*binding_),
      comms_(checked_, state) {
    state.applyStartupDefaults();
}

void Session::connect() {
    if (variant_ == 1) {
        return;
    }
    auto& v2 = static_cast<link::QnsBinding&>(*binding_);
    std::array<std::uint8_t, 128> boards{};
    std::int32_t count = 0;
    if (v2.Search_For_Boards(link::kVendorId, link::kProductId, &count, boards.data()) != 0 ||
        boards[0] == 0) {
        throw Failure(NoBoard, "no board found (USB 2F1A:7C05)");
    }
    if (v2.Connect(link::kVendorId, link::kProductId, boards[0], &v2.BoardHandle) != 0) {
        throw Failure(NoBoard, "cannot connect to board " + std::to_string(boards[0]));
    }
}

void Session::start(const std::string& firmwarePath) {
    link::PathBufferArray path{};
    std::vector<int> codes(firmwarePath.begin(), firmwarePath.end());
    for (int& c : codes) {
        c = static_cast<unsigned char>(c);
    }
    try {
        link::FillPathBuffer(codes, path);
    } catch (const RuntimeError&) {
        throw Failure(BadArguments, "firmware path too long: " + firmwarePath);
    }
    char* const pathBytes = reinterpret_cast<char*>(path.data());
    if (variant_ == 1) {
        auto& v1 = static_cast<link::UsbFunctionsBinding&>(*binding_);
        if (v1.LoadFirmWare(pathBytes) < 1) {
            throw Failure(DownloadFailed, "firmware download failed (" + firmwarePath +
                                              "): no board, or the board refused the image");
        }
        return;
    }
    connect();
    auto& v2 = static_cast<link::QnsBinding&>(*binding_);
    if (v2.Download_Firmware(v2.BoardHandle, pathBytes) != 0) {
        throw Failure(DownloadFailed, "firmware download failed (" + firmwarePath + ")");
    }
}

std::string Session::program(const std::string& typedCode) {
    if (!device_) {
        throw Failure(BadArguments, "no device chosen");
    }
    const std::string shown = validatedCode(*device_, typedCode);
    state.DacWord = parseHexCode(shown);
    SendDacWord(state, comms_);
    return shown;
}

Session::Reading Session::read() {
    const double volts = ReadVoltage(state, comms_);
    return {state.AdcReading, volts};
}

} // namespace qd::cli

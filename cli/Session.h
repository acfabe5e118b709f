#pragma once

#include "control/ControlState.h"
#include "link/Binding.h"
#include "link/CommsFunctions.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace qd::cli {

// Exit statuses of qdctl, one per kind of failure.
enum ExitStatus : int {
    Ok = 0,
    CheckFailed = 1, // verify or selftest measured something else
    BadArguments = 2,
    BadCode = 3,
    NoBoard = 4,
    DownloadFailed = 5,
    RequestFailed = 6,
};

// A failure that ends qdctl with its status and a one-line message.
class Failure : public std::runtime_error {
  public:
    Failure(ExitStatus status, const std::string& message)
        : std::runtime_error(message), status_(status) {}
    ExitStatus status() const { return status_; }

  private:
    ExitStatus status_;
};

// The link library binding with every result looked at: a request the
// library reports as failed raises RequestFailed. The windowed programs use
// the bare binding and ignore results, by design; a script cannot.
class CheckedBinding final : public link::LinkBinding {
  public:
    explicit CheckedBinding(link::LinkBinding& inner) : inner_(inner) {}

    std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                               std::int16_t direction, std::int16_t length,
                               std::uint8_t* buffer) override;
    bool downloadFirmware(char* path) override { return inner_.downloadFirmware(path); }
    bool requestSucceeded(std::int16_t result) const override {
        return inner_.requestSucceeded(result);
    }

    // Time spent inside the link library, for the sweep's timing report.
    std::chrono::nanoseconds timeInLibrary{0};

  private:
    link::LinkBinding& inner_;
};

// The text the data-word box would show for a typed code on this device:
// validated and clamped exactly as the window does it. A bad code raises
// BadCode; nothing reaches any board.
std::string validatedCode(const DeviceProfile& device, const std::string& typed);

// One board for the length of a command: the binding of the chosen link
// library, the control state and the board commands over checked results.
class Session {
  public:
    // variant 1 binds USBFunctions by name, 2 QNS_CYUSB_USB4 at its path.
    Session(int variant, const std::string& link2Path);

    // Finds and connects to the first board (variant 2; variant 1's library
    // does that by itself).
    void connect();

    // Connects and downloads the firmware image at path.
    void start(const std::string& firmwarePath);

    void selectDevice(const DeviceProfile& device) {
        device_ = &device;
        state.selectDevice(device);
    }

    // Programs a code typed as the data-word box takes it; returns the text
    // the box would show. Nothing is written for a bad code.
    std::string program(const std::string& typedCode);

    // One measuring-converter reading, 0 to 4095, and the volts shown for it.
    struct Reading {
        std::int32_t counts;
        double volts;
    };
    Reading read();

    ControlState state;
    CheckedBinding& binding() { return checked_; }

  private:
    int variant_;
    const DeviceProfile* device_ = nullptr;
    std::unique_ptr<link::LinkBinding> binding_;
    CheckedBinding checked_;
    link::CommsFunctions comms_;
};

} // namespace qd::cli

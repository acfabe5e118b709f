#pragma once

#include "control/ControlState.h"
#include "link/Binding.h"
#include "link/CommsFunctions.h"
#include "session/CommonOptions.h"
#include "session/ExitStatus.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qd::session {

using control::ControlState;
using control::DeviceProfile;

// The link library binding with every result looked at: a request the
// library reports as failed raises the Failure its reason calls for. The
// windowed programs use the bare binding and ignore results, by design; a
// script cannot.
class CheckedBinding final : public link::LinkBinding {
  public:
    explicit CheckedBinding(link::LinkBinding& inner) : inner_(inner) {}

    std::int16_t vendorRequest(std::int16_t request, std::int32_t value, std::int32_t index,
                               std::int16_t direction, std::int16_t length,
                               std::uint8_t* buffer) override;
    bool downloadFirmware(char* path) override { return inner_.downloadFirmware(path); }
    link::LinkOutcome connect(int board) override { return inner_.connect(board); }
    link::LinkOutcome download(char* path) override { return inner_.download(path); }
    link::LinkOutcome request(std::int16_t request, std::int32_t value, std::int32_t index,
                              std::int16_t direction, std::int16_t length,
                              std::uint8_t* buffer) override {
        return inner_.request(request, value, index, direction, length, buffer);
    }
    std::optional<std::vector<std::string>> boards() override { return inner_.boards(); }
    std::string libraryName() const override { return inner_.libraryName(); }

    // Time spent inside the link library, for the sweep's timing report.
    std::chrono::nanoseconds timeInLibrary{0};

  private:
    link::LinkBinding& inner_;
};

// A board line of our link libraries ("id=1 bus=1 …") as keys and values.
using BoardFields = std::vector<std::pair<std::string, std::string>>;
BoardFields boardFields(const std::string& line);

// The value of `key` in a board's fields; empty when it has none.
std::string fieldOf(const BoardFields& fields, std::string_view key);

// The fields the library lists for board `board` (0: the first listed);
// empty when it lists none, or not that board.
BoardFields listedBoard(link::LinkBinding& binding, int board);

// The board's identifier as *IDN? and reports tell it: where it is plugged
// in, as our libraries list it ("sim" for the simulated board), else its
// number.
std::string boardIdentifier(link::LinkBinding& binding, int board);
// The same from the board's line of a listing already asked for.
std::string boardIdentifier(const BoardFields& fields, int board);

// The board --board names: its index, or the one whose serial the listing
// gives as --board's (in any case); Failure(NoBoard) naming the serials
// there are when none has it.
int boardOf(link::LinkBinding& binding, const CommonOptions& common);

// The failure a link outcome calls for.
[[noreturn]] void fail(const link::LinkOutcome& outcome);

// The binding of link library 1 (USBFunctions, by name) or 2
// (QNS_CYUSB_USB4, at its fixed path).
std::unique_ptr<link::LinkBinding> makeBinding(int link);

// One board for the length of a command: the binding of the chosen link
// library, the control state and the board commands over checked results.
class Session {
  public:
    explicit Session(std::unique_ptr<link::LinkBinding> binding);

    // Finds and opens the board (0: the library's own choice).
    void connect(int board);

    // Loads the firmware image at path unless the board runs its firmware
    // already (it answers a read request) and `force` is false. True when it
    // was loaded.
    bool ensureFirmware(const std::string& firmwarePath, bool force);

    // Makes the library open the board now, so that it is this program's
    // until the program ends, even while it sends nothing: a read request,
    // which changes nothing on the board. Raises as a request does.
    void claim();

    // Whether the board runs its firmware now: it answers a read request.
    // A board that is missing, busy or not ours to open raises.
    bool firmwareRuns();

    void selectDevice(const DeviceProfile& device) {
        device_ = &device;
        state.selectDevice(device);
    }

    // Programs a code already validated for the device (as the data-word box
    // would show it).
    void program(std::int32_t code);

    // One measuring-converter reading, 0 to 4095, and the volts shown for it.
    struct Reading {
        std::int32_t counts;
        double volts;
    };
    Reading read();

    ControlState state;
    link::CommsFunctions& comms() { return comms_; }
    CheckedBinding& binding() { return checked_; }
    // The board connected to (0: the library's own choice).
    int board() const { return board_; }

  private:
    // A read request, its outcome looked at by the caller.
    link::LinkOutcome askForAReading();

    const DeviceProfile* device_ = nullptr;
    int board_ = 0;
    std::unique_ptr<link::LinkBinding> binding_;
    CheckedBinding checked_;
    link::CommsFunctions comms_;
};

// A session on the chosen board, connected; with `load`, running its
// firmware (loaded only when it does not run it yet, or with --download),
// and the device and power mode chosen, when one is.
struct Opened {
    std::unique_ptr<Session> session;
    bool downloaded = false;
};
Opened openSession(const CommonOptions& common, const DeviceChoice& device, bool load);

// The folder qdctl lies in, as the file system names it.
std::string programFolder();

// The firmware image qdctl loads: --firmware, else QD1600.hex beside it.
std::string firmwarePathOf(const CommonOptions& common);

} // namespace qd::session

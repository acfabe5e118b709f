#pragma once

#include "board/LinkQuery.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qd::drivers {

using board::LinkStatus;

// One vendor request as the link libraries take it.
struct VendorRequest {
    std::uint8_t code = 0;
    std::uint32_t value = 0;
    std::uint32_t index = 0;
    int direction = 0; // 0 to the board, 1 from it
    std::uint16_t length = 0;
    std::uint8_t* buffer = nullptr; // `length` bytes; filled on a read
};

// What became of one operation on a board: Ok, or why not, with the
// one-line diagnostic that went to standard error. Success carries no text,
// so it costs nothing to hand back.
struct LinkResult {
    LinkStatus status = LinkStatus::Ok;
    std::string diagnostic;

    explicit operator bool() const { return status == LinkStatus::Ok; }
};

// "<library>: <operation>: <what>" as a failure with its status.
LinkResult failure(LinkStatus status, const char* library, const std::string& operation,
                   const std::string& what);
// The same, also printed on standard error (see diagnose).
LinkResult fail(LinkStatus status, const char* library, const std::string& operation,
                const std::string& what);

// A failure that ends a library call wherever it is found, e.g. a setting
// of the environment that leaves no backend to use. The libraries' call
// wrappers turn it into the call's result.
class LinkFailure : public std::runtime_error {
  public:
    explicit LinkFailure(LinkResult result)
        : std::runtime_error(result.diagnostic), result_(std::move(result)) {}
    const LinkResult& result() const noexcept { return result_; }

  private:
    LinkResult result_;
};

// Raises LinkFailure(BadSetting) for a QD_BOARD* or QD_USB_* variable that
// holds `value`, with one line naming the variable and what it takes.
[[noreturn]] void refuseSetting(const char* library, const char* variable, const std::string& value,
                                const std::string& takes);

// One board as a listing shows it.
struct BoardInfo {
    int id = 0;
    std::string bus;                  // "1", or "sim"
    std::string port;                 // "1.2", or "-"
    std::string firmware = "unknown"; // "yes", "no", or "unknown" when asking would disturb it
    bool access = true;               // whether this user may open it
    std::string serial;               // its USB serial, "" when it has none

    // "id=1 bus=1 port=1.2 vendor=2f1a product=7c05 firmware=yes access=yes
    // serial=SIM0001", the serial only when there is one
    std::string line() const;
};

// A serial as a board reports it, made fit for a listing's one word:
// what is not a printable ASCII letter or sign becomes '_'.
std::string listableSerial(const std::string& serial);

// An opened board.
class BoardConnection {
  public:
    virtual ~BoardConnection() = default;
    // Loads the Intel HEX image at path; a failure, with its diagnostic on
    // standard error, when the board does not end up running it.
    virtual LinkResult downloadFirmware(const std::string& path) = 0;
    virtual LinkResult request(const VendorRequest& request) = 0;
};

// Where boards come from: the simulated board or real USB.
class Backend {
  public:
    virtual ~Backend() = default;
    // 1-based identifiers of the boards present now.
    virtual std::vector<int> findBoards() = 0;
    // The same boards described, without claiming any of them.
    virtual std::vector<BoardInfo> listBoards() = 0;
    // What to say when there is none: the next step where there is one.
    virtual std::string noBoardText() const { return "no board found"; }

    // nullptr, with a diagnostic, when the board cannot be opened; `why`
    // then says why.
    std::unique_ptr<BoardConnection> open(int board, LinkResult& why) {
        return openBoard(board, why);
    }
    std::unique_ptr<BoardConnection> open(int board) {
        LinkResult why;
        return openBoard(board, why);
    }

  protected:
    virtual std::unique_ptr<BoardConnection> openBoard(int board, LinkResult& why) = 0;
};

// The process's backend, chosen at first use: the simulated board when
// QD_BOARD is "sim", real USB when it is unset or empty. Any other choice,
// or a backend setting it does not take, raises LinkFailure(BadSetting) at
// every call, so that nothing runs on a board the user did not ask for.
Backend& processBackend();

// One line on standard error: "<library>: <operation>: <what>"; nothing
// once the library has been asked to be quiet.
void diagnose(const char* library, const std::string& operation, const std::string& what);

// Silences diagnose() for the rest of the process: the caller takes each
// failure's reason from the library's "why" instead.
void beQuiet();

} // namespace qd::drivers

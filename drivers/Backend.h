#pragma once

#include "board/LinkQuery.h"

#include <cstdint>
#include <memory>
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

// Prints "<library>: <operation>: <what>" on standard error and returns
// that line as a failure with its status.
LinkResult fail(LinkStatus status, const char* library, const std::string& operation,
                const std::string& what);

// One board as a listing shows it.
struct BoardInfo {
    int id = 0;
    std::string bus;                  // "1", or "sim"
    std::string port;                 // "1.2", or "-"
    std::string firmware = "unknown"; // "yes", "no", or "unknown" when asking would disturb it
    bool access = true;               // whether this user may open it

    // "id=1 bus=1 port=1.2 vendor=2f1a product=7c05 firmware=yes access=yes"
    std::string line() const;
};

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
// QD_BOARD is "sim", real USB otherwise.
Backend& processBackend();

// One line on standard error: "<library>: <operation>: <what>".
void diagnose(const char* library, const std::string& operation, const std::string& what);

} // namespace qd::drivers

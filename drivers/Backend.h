#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qd::drivers {

// One vendor request as the link libraries take it.
struct VendorRequest {
    std::uint8_t code = 0;
    std::uint32_t value = 0;
    std::uint32_t index = 0;
    int direction = 0; // 0 to the board, 1 from it
    std::uint16_t length = 0;
    std::uint8_t* buffer = nullptr; // `length` bytes; filled on a read
};

// An opened board.
class BoardConnection {
  public:
    virtual ~BoardConnection() = default;
    // Loads the Intel HEX image at path; false, with a diagnostic on
    // standard error, when the board does not end up running it.
    virtual bool downloadFirmware(const std::string& path) = 0;
    virtual bool request(const VendorRequest& request) = 0;
};

// Where boards come from: the simulated board or real USB.
class Backend {
  public:
    virtual ~Backend() = default;
    // 1-based identifiers of the boards present now.
    virtual std::vector<int> findBoards() = 0;
    // nullptr, with a diagnostic, when the board cannot be opened.
    virtual std::unique_ptr<BoardConnection> open(int board) = 0;
};

// The process's backend, chosen at first use: the simulated board when
// QD_BOARD is "sim", real USB otherwise.
Backend& processBackend();

// One line on standard error: "<library>: <operation>: <what>".
void diagnose(const char* library, const std::string& operation, const std::string& what);

} // namespace qd::drivers

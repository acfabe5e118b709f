#pragma once

// What an SCPI instrument keeps for each client: its error queue and IEEE
// 488.2 status registers, and the one way entries get in and out, shared by
// every instrument we serve (the board, the simulated meter). Standard C++
// only.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace qd::scpi {

// Owned by whoever serves that client; an instrument only reads and changes
// it while it runs that client's message.
struct ClientStatus {
    struct QueuedError {
        int code;
        std::string text;
    };
    std::deque<QueuedError> errors;
    std::uint8_t eventStatus = 0;   // *ESR?
    std::uint8_t eventEnable = 0;   // *ESE
    std::uint8_t serviceEnable = 0; // *SRE
    int locks = 0;                  // SYSTem:LOCK:REQuest? granted and not released
};

inline constexpr std::size_t kErrorQueueSize = 16;

// Event status register bits (IEEE 488.2).
inline constexpr std::uint8_t kOperationCompleteBit = 1u << 0;
inline constexpr std::uint8_t kQueryErrorBit = 1u << 2;
inline constexpr std::uint8_t kDeviceErrorBit = 1u << 3;
inline constexpr std::uint8_t kExecutionErrorBit = 1u << 4;
inline constexpr std::uint8_t kCommandErrorBit = 1u << 5;

// The event status bit an error number sets (by its hundreds), or 0.
std::uint8_t eventBit(int code);

// Adds an entry with its whole text and sets its event bit. A full queue's
// newest entry gives way to -350, so that the oldest errors, which usually
// explain the later ones, are kept. Numbers of 0 and above are no errors.
void queueError(ClientStatus& client, int code, std::string text);

// Adds the standard text of `code`, and ";<detail>" when there is one: text
// from outside made safe inside a quoted response string.
void reportError(ClientStatus& client, int code, std::string_view detail = {});

// The oldest entry as SYSTem:ERRor? answers it, `<code>,"<text>"`, taken
// from the queue; 0,"No error" when there is none.
std::string takeError(ClientStatus& client);

// What a server serves: one message of one client in, its response line
// out, each client with its own status.
class Responder {
  public:
    virtual ~Responder() = default;
    // Runs one message (without its line end) to completion; its response
    // line without the LF, empty when it has none. Never throws.
    virtual std::string execute(std::string_view message, ClientStatus& client) = 0;
    // An error found outside any message, e.g. -363 by the framing.
    virtual void reportError(ClientStatus& client, int code, std::string_view detail = {}) = 0;
    // A client that is gone.
    virtual void forget(const ClientStatus& client) = 0;
};

// Printable ASCII only, quotes doubled, bounded: text from outside made
// safe inside a quoted response string.
std::string quotable(std::string_view text);

} // namespace qd::scpi

#pragma once

// The bytes to and from a meter, whatever carries them. What one system
// cannot have is refused with a message that says what to use instead.

#include "meter/Resource.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace qd::meter {

// A failure to reach or talk to the meter, with a one-line message.
class MeterError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// No answer within the time given: the meter may still send it, late.
class MeterTimeout : public MeterError {
  public:
    using MeterError::MeterError;
};

// The longest binary answer taken: a scope's record of some million
// samples of two bytes.
inline constexpr std::size_t kMaxBlockBytes = 64u << 20;

class Transport {
  public:
    virtual ~Transport() = default;
    // Sends one program message; the line end is added here.
    virtual void send(std::string_view message) = 0;
    // The next response message without its line end; MeterTimeout when
    // none has come within `timeout`, MeterError when the carrier failed.
    virtual std::string receive(std::chrono::milliseconds timeout) = 0;
    // As receive(), for an answer that holds an IEEE 488.2 definite-length
    // block: line feeds among its bytes do not end it, and it may be up to
    // kMaxBlockBytes long. A transport handed whole messages needs no other.
    virtual std::string receiveBlock(std::chrono::milliseconds timeout) { return receive(timeout); }
    // Throws away, without waiting, the response messages that have come
    // and that no query has taken: how many, an unfinished one counted.
    virtual std::size_t drain() = 0;
};

// Connects to the meter; MeterError naming the resource when it cannot. A
// meter still starting up refuses connections for a moment: a refused
// socket is tried again for up to kStartingUp.
inline constexpr std::chrono::milliseconds kStartingUp{2000};
std::unique_ptr<Transport> connect(const Resource& resource, std::chrono::milliseconds timeout);

// The carriers.
std::unique_ptr<Transport> connectSocket(const Resource& r, std::chrono::milliseconds timeout);
std::unique_ptr<Transport> connectVxi11(const Resource& r, std::chrono::milliseconds timeout);
std::unique_ptr<Transport> openUsbTmc(const Resource& r);

} // namespace qd::meter

#pragma once

// The bytes to and from a meter, whatever carries them. Each system's
// carriers live in files of their own; what one system cannot have is
// refused with a message that says what to use instead.

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

class Transport {
  public:
    virtual ~Transport() = default;
    // Sends one program message; the line end is added here.
    virtual void send(std::string_view message) = 0;
    // The next response message without its line end; MeterError when none
    // has come within `timeout`.
    virtual std::string receive(std::chrono::milliseconds timeout) = 0;
};

// Connects to the meter; MeterError naming the resource when it cannot.
std::unique_ptr<Transport> connect(const Resource& resource, std::chrono::milliseconds timeout);

// The system's carriers, one file each.
std::unique_ptr<Transport> connectSocket(const Resource& r, std::chrono::milliseconds timeout);
std::unique_ptr<Transport> connectVxi11(const Resource& r, std::chrono::milliseconds timeout);
std::unique_ptr<Transport> openUsbTmc(const Resource& r);

} // namespace qd::meter

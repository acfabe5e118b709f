#include "meter/FramedTransport.h"

namespace qd::meter {

void FramedTransport::send(std::string_view message) {
    std::string bytes(message);
    bytes += '\n';
    std::string_view rest = bytes;
    while (!rest.empty()) {
        std::string why;
        const long n = sendSome(rest, why);
        if (n < 0) {
            fail("cannot send \"" + std::string(message) + "\": " + why);
        }
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::string FramedTransport::receive(std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::string bytes;
    while (true) {
        if (auto event = framer_.next()) {
            if (event->kind == scpi::MessageFramer::Event::Overrun) {
                fail("an answer longer than 64 KiB");
            }
            return std::move(event->message);
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            failTimeout("no answer within " +
                        std::to_string(timeout.count() / 1000.0).substr(0, 4) + " s");
        }
        bytes.clear();
        readSome(left, bytes);
        framer_.append(bytes);
    }
}

std::size_t FramedTransport::drain() {
    std::size_t dropped = 0;
    std::string bytes;
    while (true) {
        while (framer_.next()) {
            ++dropped;
        }
        bytes.clear();
        readPending(bytes);
        if (bytes.empty()) {
            break;
        }
        framer_.append(bytes);
    }
    // The rest of an unfinished one is still on its way: the caller must
    // not take it for the answer to its next query.
    return dropped + (framer_.inMessage() ? 1 : 0);
}

void FramedTransport::fail(const std::string& what) const {
    throw MeterError("meter " + resource_ + ": " + what);
}

void FramedTransport::failTimeout(const std::string& what) const {
    throw MeterTimeout("meter " + resource_ + ": " + what);
}

void FramedTransport::took(long n, const char* chunk, std::string& into,
                           const std::string& why) const {
    if (n < 0) {
        fail("cannot read an answer: " + why);
    }
    if (n == 0) {
        fail("the meter closed the connection");
    }
    into.append(chunk, static_cast<std::size_t>(n));
}

std::unique_ptr<Transport> connect(const Resource& resource, std::chrono::milliseconds timeout) {
    switch (resource.kind) {
    case Resource::Socket:
        return connectSocket(resource, timeout);
    case Resource::Vxi11:
        return connectVxi11(resource, timeout);
    case Resource::UsbTmc:
        break;
    }
    return openUsbTmc(resource);
}

} // namespace qd::meter

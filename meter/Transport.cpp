#include "meter/FramedTransport.h"
#include "platform/DeviceFile.h"
#include "platform/Error.h"
#include "platform/Socket.h"

#include <thread>

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
                fail(inBlock_ ? "a binary answer longer than 64 MiB"
                              : "an answer longer than 64 KiB");
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

std::string FramedTransport::receiveBlock(std::chrono::milliseconds timeout) {
    // Back to plain messages however this one ends.
    struct Blocks {
        FramedTransport& t;
        explicit Blocks(FramedTransport& transport) : t(transport) {
            t.inBlock_ = true;
            t.framer_.setBlocks(true, kMaxBlockBytes);
        }
        ~Blocks() {
            t.inBlock_ = false;
            t.framer_.setBlocks(false, kMaxAnswerBytes);
        }
        Blocks(const Blocks&) = delete;
        Blocks& operator=(const Blocks&) = delete;
    } blocks(*this);
    return receive(timeout);
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

namespace {

// A raw socket: it holds what the meter sent whether asked or not.
class SocketTransport final : public FramedTransport {
  public:
    SocketTransport(platform::SocketHandle socket, std::string resource)
        : FramedTransport(std::move(resource)), socket_(socket) {}
    ~SocketTransport() override { platform::closeSocket(socket_); }

  protected:
    long sendSome(std::string_view bytes, std::string& why) override {
        const long n = platform::sendSome(socket_, bytes);
        if (n < 0) {
            why = platform::lastSocketErrorText();
        }
        return n;
    }

    void readSome(std::chrono::milliseconds timeout, std::string& into) override {
        const int ready = platform::waitToReceive(socket_, timeout);
        if (ready < 0) {
            fail("cannot wait for an answer: " + platform::lastSocketErrorText());
        }
        if (ready == 0) {
            return;
        }
        char chunk[4096];
        const long n = platform::receiveSome(socket_, chunk, sizeof chunk);
        if (n == platform::kNothingReceived) {
            return;
        }
        took(n, chunk, into, n < 0 ? platform::lastSocketErrorText() : std::string());
    }

    void readPending(std::string& into) override { readSome(std::chrono::milliseconds(0), into); }

  private:
    platform::SocketHandle socket_;
};

// A USBTMC device file: a read asks the meter for its answer and waits for
// it with the driver's own timeout, so nothing waits here unasked.
class DeviceTransport final : public FramedTransport {
  public:
    DeviceTransport(platform::DeviceHandle device, std::string resource)
        : FramedTransport(std::move(resource)), device_(device) {}
    ~DeviceTransport() override { platform::closeDevice(device_); }

  protected:
    long sendSome(std::string_view bytes, std::string& why) override {
        const long n = platform::writeDevice(device_, bytes);
        if (n < 0) {
            why = platform::lastErrorText();
        }
        return n;
    }

    void readSome(std::chrono::milliseconds, std::string& into) override {
        char chunk[4096];
        const long n = platform::readDevice(device_, chunk, sizeof chunk);
        if (n == platform::kNothingRead) {
            return;
        }
        took(n, chunk, into, n < 0 ? platform::lastErrorText() : std::string());
    }

  private:
    platform::DeviceHandle device_;
};

} // namespace

std::unique_ptr<Transport> connectSocket(const Resource& r, std::chrono::milliseconds timeout) {
    if (!platform::startSockets()) {
        throw MeterError("meter " + r.text + ": Winsock does not start");
    }
    const std::string port = std::to_string(r.port);
    const platform::TcpAddresses addresses(r.host, port);
    if (!addresses.failure().empty()) {
        throw MeterError("meter " + r.text + ": cannot find host " + r.host + ": " +
                         addresses.failure());
    }
    platform::SocketHandle socket = platform::kNoSocket;
    const auto startingUp = std::chrono::steady_clock::now() + kStartingUp;
    while (true) {
        socket = addresses.connect(timeout);
        // Refused: nothing listens yet, as while a meter starts up.
        if (socket != platform::kNoSocket || !platform::connectionRefused() ||
            std::chrono::steady_clock::now() >= startingUp) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (socket == platform::kNoSocket) {
        throw MeterError("meter " + r.text + ": cannot connect to " + r.host + " port " + port +
                         ": " + platform::lastSocketErrorText());
    }
    return std::make_unique<SocketTransport>(socket, r.text);
}

std::unique_ptr<Transport> openUsbTmc(const Resource& r) {
    if (!platform::hasDeviceFiles()) {
        throw MeterError(
            "meter " + r.text +
            ": USBTMC device files are Linux's; on Windows reach the meter through its "
            "raw socket, TCPIP::HOST::5025::SOCKET");
    }
    const platform::DeviceHandle device = platform::openDevice(r.path);
    if (device == platform::kNoDevice) {
        const bool denied = platform::deviceAccessDenied();
        throw MeterError("meter " + r.text + ": cannot open it: " + platform::lastErrorText() +
                         (denied ? " (a udev rule must let this user use the meter)" : ""));
    }
    return std::make_unique<DeviceTransport>(device, r.text);
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

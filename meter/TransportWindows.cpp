// The meter's carriers on Windows: a TCP socket through Winsock. USBTMC
// device files are Linux's; on Windows a USB meter is reached through its
// raw socket or its maker's VISA.

#include "meter/FramedTransport.h"
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace qd::meter {

namespace {

class SocketTransport final : public FramedTransport {
  public:
    SocketTransport(SOCKET s, std::string resource)
        : FramedTransport(std::move(resource)), socket_(s) {}
    ~SocketTransport() override { ::closesocket(socket_); }

  protected:
    long sendSome(std::string_view bytes, std::string& why) override {
        const int n = ::send(socket_, bytes.data(), static_cast<int>(bytes.size()), 0);
        if (n <= 0) {
            why = platform::lastSocketErrorText();
            return -1;
        }
        return n;
    }

    void readSome(std::chrono::milliseconds timeout, std::string& into) override {
        WSAPOLLFD p{};
        p.fd = socket_;
        p.events = POLLRDNORM;
        const int ready = ::WSAPoll(&p, 1, static_cast<INT>(timeout.count()));
        if (ready < 0) {
            fail("cannot wait for an answer: " + platform::lastSocketErrorText());
        }
        if (ready == 0) {
            return;
        }
        char chunk[4096];
        const int n = ::recv(socket_, chunk, sizeof chunk, 0);
        took(n, chunk, into, n < 0 ? platform::lastSocketErrorText() : std::string());
    }

    // A socket holds what the meter sent whether asked or not.
    void readPending(std::string& into) override { readSome(std::chrono::milliseconds(0), into); }

  private:
    SOCKET socket_;
};

// Connects within the timeout; INVALID_SOCKET when it cannot.
SOCKET connectWithin(const addrinfo& a, std::chrono::milliseconds timeout) {
    SOCKET s = ::socket(a.ai_family, a.ai_socktype, a.ai_protocol);
    if (s == INVALID_SOCKET) {
        return s;
    }
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, a.ai_addr, static_cast<int>(a.ai_addrlen)) != 0 &&
        ::WSAGetLastError() != WSAEWOULDBLOCK) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    WSAPOLLFD p{};
    p.fd = s;
    p.events = POLLWRNORM;
    int error = 0;
    int length = sizeof error;
    if (::WSAPoll(&p, 1, static_cast<INT>(timeout.count())) != 1 ||
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 ||
        error != 0) {
        ::closesocket(s);
        ::WSASetLastError(error != 0 ? error : WSAETIMEDOUT);
        return INVALID_SOCKET;
    }
    nonBlocking = 0;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    platform::sendAtOnce(static_cast<platform::SocketHandle>(s));
    return s;
}

} // namespace

std::unique_ptr<Transport> connectSocket(const Resource& r, std::chrono::milliseconds timeout) {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        throw MeterError("meter " + r.text + ": Winsock does not start");
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(r.port);
    if (::getaddrinfo(r.host.c_str(), port.c_str(), &hints, &found) != 0) {
        throw MeterError("meter " + r.text + ": cannot find host " + r.host + ": " +
                         platform::lastSocketErrorText());
    }
    SOCKET s = INVALID_SOCKET;
    const auto startingUp = std::chrono::steady_clock::now() + kStartingUp;
    while (true) {
        for (const addrinfo* a = found; a && s == INVALID_SOCKET; a = a->ai_next) {
            s = connectWithin(*a, timeout);
        }
        // Refused: nothing listens yet, as while a meter starts up.
        if (s != INVALID_SOCKET || ::WSAGetLastError() != WSAECONNREFUSED ||
            std::chrono::steady_clock::now() >= startingUp) {
            break;
        }
        ::Sleep(100);
    }
    const std::string why = platform::lastSocketErrorText();
    ::freeaddrinfo(found);
    if (s == INVALID_SOCKET) {
        throw MeterError("meter " + r.text + ": cannot connect to " + r.host + " port " + port +
                         ": " + why);
    }
    return std::make_unique<SocketTransport>(s, r.text);
}

std::unique_ptr<Transport> openUsbTmc(const Resource& r) {
    throw MeterError("meter " + r.text +
                     ": USBTMC device files are Linux's; on Windows reach the meter through its "
                     "raw socket, TCPIP::HOST::5025::SOCKET");
}

} // namespace qd::meter

#include "platform/Error.h"
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace qd::platform {

bool startSockets() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

TcpAddresses::TcpAddresses(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) {
        failure_ = lastSocketErrorText();
        return;
    }
    list_ = found;
}

TcpAddresses::~TcpAddresses() {
    if (list_) {
        ::freeaddrinfo(static_cast<addrinfo*>(list_));
    }
}

namespace {

// Connects within the timeout; INVALID_SOCKET, the reason in
// WSAGetLastError(), when it cannot.
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
    sendAtOnce(static_cast<SocketHandle>(s));
    return s;
}

} // namespace

std::vector<std::string> TcpAddresses::numeric() const {
    std::vector<std::string> found;
    for (const auto* a = static_cast<const addrinfo*>(list_); a; a = a->ai_next) {
        char host[NI_MAXHOST] = {};
        if (::getnameinfo(a->ai_addr, static_cast<socklen_t>(a->ai_addrlen), host, sizeof host,
                          nullptr, 0, NI_NUMERICHOST) == 0) {
            found.emplace_back(host);
        }
    }
    return found;
}

SocketHandle TcpAddresses::connect(std::chrono::milliseconds timeout) const {
    SOCKET s = INVALID_SOCKET;
    for (const auto* a = static_cast<const addrinfo*>(list_); a && s == INVALID_SOCKET;
         a = a->ai_next) {
        s = connectWithin(*a, timeout);
    }
    return s == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(s);
}

bool connectionRefused() {
    return ::WSAGetLastError() == WSAECONNREFUSED;
}

long sendSome(SocketHandle socket, std::string_view bytes) {
    const int n =
        ::send(static_cast<SOCKET>(socket), bytes.data(), static_cast<int>(bytes.size()), 0);
    return n <= 0 ? -1 : n;
}

int waitToReceive(SocketHandle socket, std::chrono::milliseconds timeout) {
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(socket);
    p.events = POLLRDNORM;
    const int ready = ::WSAPoll(&p, 1, static_cast<INT>(timeout.count()));
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

int waitToReceiveOrSend(SocketHandle socket, std::chrono::milliseconds timeout) {
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(socket);
    p.events = POLLRDNORM | POLLWRNORM;
    const int ready = ::WSAPoll(&p, 1, static_cast<INT>(timeout.count()));
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

long receiveSome(SocketHandle socket, char* into, std::size_t size) {
    return ::recv(static_cast<SOCKET>(socket), into, static_cast<int>(size), 0);
}

void closeSocket(SocketHandle socket) {
    ::closesocket(static_cast<SOCKET>(socket));
}

void sendAtOnce(SocketHandle socket) {
    const BOOL on = TRUE;
    ::setsockopt(static_cast<SOCKET>(socket), IPPROTO_TCP, TCP_NODELAY,
                 reinterpret_cast<const char*>(&on), sizeof on);
}

// Windows has no quick-acknowledgement mode to arm.
void acknowledgeAtOnce(SocketHandle) {}

// Qt's sockets do not block, so a look at the next byte returns at once: 0
// only when nothing but the end of stream is left.
bool peerHasClosed(SocketHandle socket) {
    char byte = 0;
    return ::recv(static_cast<SOCKET>(socket), &byte, 1, MSG_PEEK) == 0;
}

void stopSending(SocketHandle socket) {
    ::shutdown(static_cast<SOCKET>(socket), SD_SEND);
}

std::string lastSocketErrorText() {
    return errorText(::WSAGetLastError());
}

} // namespace qd::platform

#include "platform/Error.h"
#include "platform/Socket.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qd::platform {

bool startSockets() {
    return true;
}

TcpAddresses::TcpAddresses(const std::string& host, const std::string& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int error = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found)) {
        failure_ = ::gai_strerror(error);
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

// Connects within the timeout to one address; the descriptor, or -1 with
// errno set.
int connectWithin(const addrinfo& a, std::chrono::milliseconds timeout) {
    const int fd =
        ::socket(a.ai_family, a.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a.ai_protocol);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1 ||
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        error = error != 0 ? error : ETIMEDOUT;
        ::close(fd);
        errno = error;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    sendAtOnce(fd);
    return fd;
}

} // namespace

std::vector<std::string> TcpAddresses::numeric() const {
    std::vector<std::string> found;
    for (const auto* a = static_cast<const addrinfo*>(list_); a; a = a->ai_next) {
        char host[NI_MAXHOST] = {};
        if (::getnameinfo(a->ai_addr, a->ai_addrlen, host, sizeof host, nullptr, 0,
                          NI_NUMERICHOST) == 0) {
            found.emplace_back(host);
        }
    }
    return found;
}

SocketHandle TcpAddresses::connect(std::chrono::milliseconds timeout) const {
    int fd = -1;
    for (const auto* a = static_cast<const addrinfo*>(list_); a && fd < 0; a = a->ai_next) {
        fd = connectWithin(*a, timeout);
    }
    return fd;
}

bool connectionRefused() {
    return errno == ECONNREFUSED;
}

long sendSome(SocketHandle socket, std::string_view bytes) {
    const ssize_t n = ::send(static_cast<int>(socket), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) {
        return 0;
    }
    return n <= 0 ? -1 : static_cast<long>(n);
}

int waitToReceive(SocketHandle socket, std::chrono::milliseconds timeout) {
    pollfd p{static_cast<int>(socket), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return ready > 0 ? 1 : 0;
}

int waitToReceiveOrSend(SocketHandle socket, std::chrono::milliseconds timeout) {
    pollfd p{static_cast<int>(socket), POLLIN | POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (ready < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return ready > 0 ? 1 : 0;
}

long receiveSome(SocketHandle socket, char* into, std::size_t size) {
    const ssize_t n = ::read(static_cast<int>(socket), into, size);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == ETIMEDOUT)) {
        return kNothingReceived;
    }
    return static_cast<long>(n);
}

void closeSocket(SocketHandle socket) {
    ::close(static_cast<int>(socket));
}

void sendAtOnce(SocketHandle socket) {
    const int on = 1;
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void acknowledgeAtOnce([[maybe_unused]] SocketHandle socket) {
#ifdef __linux__
    // Linux's quick-ack mode, which the kernel leaves again on its own:
    // re-armed after every read, which also sends an acknowledgement that
    // is still pending.
    const int on = 1;
    ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

bool peerHasClosed(SocketHandle socket) {
    const int fd = static_cast<int>(socket);
#ifdef __linux__
    // The connection's state says so whatever is still waiting to be read.
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0) {
        return info.tcpi_state == TCP_CLOSE_WAIT || info.tcpi_state == TCP_LAST_ACK ||
               info.tcpi_state == TCP_CLOSE;
    }
#endif
    char byte = 0;
    return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

void stopSending(SocketHandle socket) {
    ::shutdown(static_cast<int>(socket), SHUT_WR);
}

std::string lastSocketErrorText() {
    return lastErrorText();
}

} // namespace qd::platform

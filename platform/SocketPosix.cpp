#include "platform/Error.h"
#include "platform/Socket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace qd::platform {

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

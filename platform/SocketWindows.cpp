#include "platform/Error.h"
#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace qd::platform {

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

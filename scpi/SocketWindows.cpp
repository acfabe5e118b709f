#include "scpi/Socket.h"

#include <winsock2.h>

namespace qd::scpi::net {

// Windows has no quick-acknowledgement mode to arm.
void acknowledgeAtOnce(qintptr) {}

// Qt's sockets do not block, so a look at the next byte returns at once: 0
// only when nothing but the end of stream is left.
bool peerHasClosed(qintptr descriptor) {
    char byte = 0;
    return ::recv(static_cast<SOCKET>(descriptor), &byte, 1, MSG_PEEK) == 0;
}

void stopSending(qintptr descriptor) {
    ::shutdown(static_cast<SOCKET>(descriptor), SD_SEND);
}

} // namespace qd::scpi::net

#pragma once

// What our TCP connections ask of the system beyond plain reads and writes.

#include <cstdint>
#include <string>

namespace qd::platform {

// A connected socket: a descriptor, or a SOCKET on Windows.
using SocketHandle = std::intptr_t;

// Sends what is written at once rather than gathering more first: a query
// follows each command, with no waiting for acknowledgements.
void sendAtOnce(SocketHandle socket);

// Makes the system acknowledge what arrives at once rather than after its
// delayed-acknowledgement pause, where the system has such a mode.
void acknowledgeAtOnce(SocketHandle socket);

// Whether the peer has closed its side of the connection (its end of stream
// has arrived), also while bytes it sent before are still unread, where the
// system tells; otherwise once nothing but the end of stream is left.
bool peerHasClosed(SocketHandle socket);

// Ends our side of the stream after what has been handed to the system:
// the peer reads it, then the end of stream, and may go on sending.
void stopSending(SocketHandle socket);

// The last failure of a socket call on this thread, in UTF-8.
std::string lastSocketErrorText();

} // namespace qd::platform

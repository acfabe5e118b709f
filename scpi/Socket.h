#pragma once

// What the server asks of a connected TCP socket that Qt Network does not
// offer, one file per system.

#include <QtGlobal>

namespace qd::scpi::net {

// Makes the system acknowledge what arrives at once rather than after its
// delayed-acknowledgement pause, where the system has such a mode; see
// Server.cpp for why.
void acknowledgeAtOnce(qintptr descriptor);

// Whether the peer has closed its side of the connection (its end of stream
// has arrived), also while bytes it sent before are still unread, where the
// system tells; otherwise once nothing but the end of stream is left.
bool peerHasClosed(qintptr descriptor);

// Ends our side of the stream after what has been handed to the system:
// the peer reads it, then the end of stream, and may go on sending.
void stopSending(qintptr descriptor);

} // namespace qd::scpi::net

#pragma once

// What our TCP connections ask of the system: connecting within a time,
// and what Qt's sockets leave out.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qd::platform {

// A connected socket: a descriptor, or a SOCKET on Windows.
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle kNoSocket = -1;

// Readies the system's sockets, once for the process (Winsock); false when
// they cannot be had.
bool startSockets();

// The addresses of a host's TCP port, as the system resolves them.
class TcpAddresses {
  public:
    TcpAddresses(const std::string& host, const std::string& port);
    ~TcpAddresses();
    TcpAddresses(const TcpAddresses&) = delete;
    TcpAddresses& operator=(const TcpAddresses&) = delete;

    // Why the host has none; empty when it has.
    const std::string& failure() const { return failure_; }

    // A blocking socket that sends at once, connected to the first address
    // that takes a connection within `timeout` each; kNoSocket when none
    // does, lastSocketErrorText() and connectionRefused() then saying why.
    SocketHandle connect(std::chrono::milliseconds timeout) const;

    // Each address as numbers ("127.0.0.1", "::1"): two names of one host
    // share one.
    std::vector<std::string> numeric() const;

  private:
    void* list_ = nullptr;
    std::string failure_;
};

// Whether the last connection failed because nothing listens there.
bool connectionRefused();

// Sends a first part of `bytes`: how many went, 0 when a signal came before
// any did, -1 when the connection failed.
long sendSome(SocketHandle socket, std::string_view bytes);

// Waits up to `timeout` for bytes or the end of stream: 1 when they came, 0
// when not (or a signal came), -1 when the wait failed.
int waitToReceive(SocketHandle socket, std::chrono::milliseconds timeout);
// The same for bytes or room to send more, whichever comes first.
int waitToReceiveOrSend(SocketHandle socket, std::chrono::milliseconds timeout);

// Reads what has come: how many bytes, 0 at the end of stream, -1 when the
// connection failed, kNothingReceived when there was nothing after all.
inline constexpr long kNothingReceived = -2;
long receiveSome(SocketHandle socket, char* into, std::size_t size);

void closeSocket(SocketHandle socket);

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

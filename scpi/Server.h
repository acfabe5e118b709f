#pragma once

// SCPI over a raw TCP socket (the LXI convention, port 5025) for one
// instrument, on the thread's event loop. Every message runs to completion
// before the next; messages of all connections take turns, one per
// connection per round, so a client that floods cannot starve the others.
// The instrument's settings are shared by all connections, as on any
// instrument; each connection has its own error queue and status registers,
// and a lock it holds ends with it. A connection's memory is bounded: one
// message being received (4 KiB, longer ones become -363), one read, Qt's
// capped read buffer, and up to 64 KiB of unread answers, after which that
// client is passed over until it reads them.
//
// A client that goes away still has the messages it completed run; its
// unfinished one is dropped, and its place is free at once, also for a
// connection that arrives before the event loop has seen it go. No client
// holds a place for ever by doing nothing with it: a message left
// unfinished, or answers left unread while the client is passed over, for
// the idle timeout end its connection. A connection beyond the limit reads
// one -310 line and the end of the stream, never a reset. SCPI has no
// authentication: listen beyond loopback only on a network you trust.

#include "scpi/Framing.h"
#include "scpi/Status.h"

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qd::scpi {

struct ListenAddress {
    QHostAddress host{QHostAddress::LocalHost};
    quint16 port = 5025;
};

// "HOST:PORT", HOST an IPv4 address in dotted form, "localhost" or an IPv6
// address in brackets ("[::1]:5025"); ":PORT" alone is loopback, the empty
// text 127.0.0.1:5025; port 0 is any free one. Other host names are not looked up. Throws
// std::invalid_argument with a one-line message.
ListenAddress parseListenAddress(std::string_view text);

class Server : public QObject {
    Q_OBJECT

  public:
    static constexpr int kDefaultMaxClients = 8;
    static constexpr std::chrono::milliseconds kDefaultIdleTimeout{30000};
    // What a connection beyond the limit reads before it is closed.
    static constexpr std::string_view kTooManyConnections =
        "-310,\"System error; too many connections\"";

    // The instrument must outlive the server.
    explicit Server(Responder& instrument, QObject* parent = nullptr);
    ~Server() override;

    // Port 0 picks a free one (see port()). false, with the reason in
    // *error, when the address cannot be listened on.
    bool listen(const ListenAddress& address, std::string* error = nullptr);
    quint16 port() const { return listener_.serverPort(); }

    // Connections served at a time (1 or more); set before listening.
    void setMaxClients(int count) { maxClients_ = count; }
    // How long a message may stay unfinished, and answers unread while the
    // client is passed over, before the connection is closed.
    void setIdleTimeout(std::chrono::milliseconds timeout) { idleTimeout_ = timeout; }

    // The connections that hold a place: open ones.
    int connectionCount() const { return openCount_; }

    // A line on standard error for every connection accepted, refused or
    // gone; on unless turned off.
    void setLogging(bool on) { logging_ = on; }

  signals:
    void connectionCountChanged(int count);

  private:
    struct Connection;
    enum class Waiting { Nothing, ForRest, ForReader };

    void accept();
    void admit(QTcpSocket* socket, const QString& peer);
    void refuse(QTcpSocket* socket, const QString& peer);
    void noticeGone();
    void markGone(Connection& connection);
    void wait(Connection& connection, Waiting what);
    void expire(Connection& connection);
    void retire(QTcpSocket* socket);
    void schedule();
    void serveRound();
    std::optional<MessageFramer::Event> nextEvent(Connection& connection);
    void log(const QString& line) const;

    Responder& instrument_;
    QTcpServer listener_;
    std::vector<std::unique_ptr<Connection>> connections_;
    // Sockets let go of, waiting for their peer to close too.
    std::deque<QPointer<QTcpSocket>> retiring_;
    int maxClients_ = kDefaultMaxClients;
    std::chrono::milliseconds idleTimeout_ = kDefaultIdleTimeout;
    int openCount_ = 0;
    bool paused_ = false;
    bool scheduled_ = false;
    bool logging_ = true;
};

} // namespace qd::scpi

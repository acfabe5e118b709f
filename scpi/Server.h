#pragma once

// SCPI over a raw TCP socket (the LXI convention, port 5025) for one
// instrument, on the thread's event loop. Every message runs to completion
// before the next; messages of all connections take turns, one per
// connection per round, so a client that floods cannot starve the others.
// The instrument's settings are shared by all connections, as on any
// instrument; each connection has its own error queue and status registers,
// and a lock it holds ends with it. A connection's memory is bounded: one message being
// received (4 KiB, longer ones become -363), one read, Qt's capped read
// buffer, and up to 64 KiB of unread answers, after which that client is
// passed over until it reads them. A client that goes away still has the
// messages it completed run; its unfinished one is dropped. SCPI has no
// authentication: listen beyond loopback only on a network you trust.

#include "scpi/Framing.h"
#include "scpi/Status.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
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
    // A connection beyond these is closed as soon as it is accepted.
    static constexpr int kMaxConnections = 8;

    // The instrument must outlive the server.
    explicit Server(Responder& instrument, QObject* parent = nullptr);
    ~Server() override;

    // Port 0 picks a free one (see port()). false, with the reason in
    // *error, when the address cannot be listened on.
    bool listen(const ListenAddress& address, std::string* error = nullptr);
    quint16 port() const { return listener_.serverPort(); }

    int connectionCount() const { return static_cast<int>(connections_.size()); }

    // A line on standard error for every connection accepted, refused or
    // gone; on unless turned off.
    void setLogging(bool on) { logging_ = on; }

  signals:
    void connectionCountChanged(int count);

  private:
    struct Connection;

    void accept();
    void schedule();
    void serveRound();
    std::optional<MessageFramer::Event> nextEvent(Connection& connection);
    void log(const QString& line) const;

    Responder& instrument_;
    QTcpServer listener_;
    std::vector<std::unique_ptr<Connection>> connections_;
    bool scheduled_ = false;
    bool logging_ = true;
};

} // namespace qd::scpi

#include "scpi/Server.h"

#include "scpi/Errors.h"

#include <QTcpSocket>
#include <charconv>
#include <cstdio>
#include <stdexcept>
#ifdef __linux__
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace qd::scpi {

namespace {

// Qt stops reading from the system beyond this, so a client that sends
// faster than it is served is held back by TCP rather than by our memory.
constexpr qint64 kSocketReadBuffer = 64 * 1024;
// What one read from the socket hands the framer.
constexpr qint64 kReadChunk = 4096;
// A client that does not read its answers is not served further until it
// has taken these.
constexpr qint64 kMaxUnsentBytes = 64 * 1024;

[[noreturn]] void badAddress(std::string_view text, const std::string& why) {
    throw std::invalid_argument("bad listen address \"" + std::string(text) + "\": " + why);
}

bool isDottedQuad(std::string_view host) {
    int parts = 0;
    while (true) {
        std::size_t digits = 0;
        while (digits < host.size() && host[digits] >= '0' && host[digits] <= '9') {
            ++digits;
        }
        if (digits == 0 || digits > 3 || std::stoi(std::string(host.substr(0, digits))) > 255) {
            return false;
        }
        ++parts;
        host.remove_prefix(digits);
        if (host.empty()) {
            return parts == 4;
        }
        if (host.front() != '.') {
            return false;
        }
        host.remove_prefix(1);
    }
}

// A client that writes a command and then, in a second message, a query is
// held back by its own Nagle algorithm until the command is acknowledged,
// and a kernel that delays acknowledgements (about 40 ms on Linux) turns
// that into 25 round trips a second. Client libraries such as pyvisa-py
// give their users no way to turn Nagle off, so the acknowledgement must
// go at once: Linux's quick-ack mode, which the kernel leaves again on its
// own, is re-armed after every read, which also sends an acknowledgement
// that is still pending.
void acknowledgeAtOnce([[maybe_unused]] const QTcpSocket& socket) {
#ifdef __linux__
    const int on = 1;
    ::setsockopt(static_cast<int>(socket.socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on,
                 sizeof on);
#endif
}

QString describe(const QTcpSocket& socket) {
    const QHostAddress address = socket.peerAddress();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? "[" + address.toString() + "]"
                             : address.toString();
    return host + ":" + QString::number(socket.peerPort());
}

} // namespace

ListenAddress parseListenAddress(std::string_view text) {
    ListenAddress address;
    if (text.empty()) {
        return address;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        badAddress(text, "expected HOST:PORT");
    }
    std::string_view host = text.substr(0, colon);
    const std::string_view port = text.substr(colon + 1);

    unsigned value = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || value > 65535) {
        badAddress(text, "the port must be a number from 0 (any free one) to 65535");
    }
    address.port = static_cast<quint16>(value);

    if (host.empty() || host == "localhost") {
        address.host = QHostAddress(QHostAddress::LocalHost);
    } else if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            badAddress(text, "an IPv6 address goes in brackets, e.g. [::1]:5025");
        }
        host = host.substr(1, host.size() - 2);
        if (!address.host.setAddress(QString::fromLatin1(host.data(), qsizetype(host.size()))) ||
            address.host.protocol() != QAbstractSocket::IPv6Protocol) {
            badAddress(text, "not an IPv6 address");
        }
    } else if (!isDottedQuad(host) ||
               !address.host.setAddress(QString::fromLatin1(host.data(), qsizetype(host.size())))) {
        badAddress(text, "the host must be an IPv4 address, localhost or [IPv6]");
    }
    return address;
}

struct Server::Connection {
    QTcpSocket* socket = nullptr; // deleted when the connection goes
    MessageFramer framer;
    ClientStatus status; // its own error queue and status registers
    QString peer;
};

Server::Server(Responder& instrument, QObject* parent) : QObject(parent), instrument_(instrument) {
    connect(&listener_, &QTcpServer::newConnection, this, &Server::accept);
}

Server::~Server() {
    for (const auto& connection : connections_) {
        connection->socket->disconnect(this);
        delete connection->socket;
    }
}

bool Server::listen(const ListenAddress& address, std::string* error) {
    if (listener_.listen(address.host, address.port)) {
        return true;
    }
    if (error) {
        *error = listener_.errorString().toStdString();
    }
    return false;
}

void Server::log(const QString& line) const {
    if (logging_) {
        std::fprintf(stderr, "scpi: %s\n", line.toLocal8Bit().constData());
    }
}

void Server::accept() {
    while (QTcpSocket* socket = listener_.nextPendingConnection()) {
        const QString peer = describe(*socket);
        if (connectionCount() >= kMaxConnections) {
            log(peer + " refused: " + QString::number(kMaxConnections) + " connections already");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        socket->setReadBufferSize(kSocketReadBuffer);
        // Answers go out as soon as their message has run.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        acknowledgeAtOnce(*socket);
        connect(socket, &QIODevice::readyRead, this, [socket] { acknowledgeAtOnce(*socket); });
        connect(socket, &QIODevice::readyRead, this, &Server::schedule);
        connect(socket, &QIODevice::bytesWritten, this, &Server::schedule);
        connect(socket, &QAbstractSocket::disconnected, this, &Server::schedule);
        connect(socket, &QAbstractSocket::errorOccurred, this, &Server::schedule);
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        connection->peer = peer;
        connections_.push_back(std::move(connection));
        log(peer + " connected (" + QString::number(connectionCount()) + " of " +
            QString::number(kMaxConnections) + ")");
        emit connectionCountChanged(connectionCount());
        schedule(); // bytes may be waiting already
    }
}

void Server::schedule() {
    if (!scheduled_) {
        scheduled_ = true;
        QMetaObject::invokeMethod(this, &Server::serveRound, Qt::QueuedConnection);
    }
}

std::optional<MessageFramer::Event> Server::nextEvent(Connection& connection) {
    while (true) {
        if (auto event = connection.framer.next()) {
            return event;
        }
        char chunk[kReadChunk];
        const qint64 read = connection.socket->read(chunk, sizeof chunk);
        if (read <= 0) {
            return std::nullopt;
        }
        connection.framer.append({chunk, static_cast<std::size_t>(read)});
    }
}

// One message (or overrun) of every connection that has one, then back to
// the event loop, which brings new bytes, connections and the next round.
void Server::serveRound() {
    scheduled_ = false;
    bool served = false;
    std::vector<std::size_t> finished;
    for (std::size_t i = 0; i < connections_.size(); ++i) {
        Connection& connection = *connections_[i];
        QTcpSocket& socket = *connection.socket;
        // A client that has gone still has what it sent served, so that a
        // command sent just before closing takes effect.
        const bool open = socket.state() == QAbstractSocket::ConnectedState;
        if (open && socket.bytesToWrite() > kMaxUnsentBytes) {
            continue;
        }
        const auto event = nextEvent(connection);
        if (!event) {
            if (!open) {
                finished.push_back(i);
            }
            continue;
        }
        served = true;
        if (event->kind == MessageFramer::Event::Overrun) {
            instrument_.reportError(connection.status, InputBufferOverrun);
            continue;
        }
        std::string response = instrument_.execute(event->message, connection.status);
        if (!response.empty() && open) {
            response += '\n';
            socket.write(response.data(), static_cast<qint64>(response.size()));
        }
    }
    for (auto i = finished.rbegin(); i != finished.rend(); ++i) {
        std::unique_ptr<Connection> connection = std::move(connections_[*i]);
        connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(*i));
        connection->socket->disconnect(this);
        connection->socket->deleteLater();
        instrument_.forget(connection->status);
        log(connection->peer + " disconnected");
        emit connectionCountChanged(connectionCount());
    }
    if (served) {
        schedule();
    }
}

} // namespace qd::scpi

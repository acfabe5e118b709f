#include "scpi/Server.h"

#include "platform/Socket.h"
#include "scpi/Errors.h"

#include <QTimer>
#include <charconv>
#include <cstdio>
#include <stdexcept>

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
// go at once, re-armed after every read.
void acknowledgeAtOnce(const QTcpSocket& socket) {
    platform::acknowledgeAtOnce(socket.socketDescriptor());
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
    QTcpSocket* socket = nullptr; // deleted when the connection goes; null once let go of
    MessageFramer framer;
    ClientStatus status; // its own error queue and status registers
    QString peer;
    bool gone = false; // closed by its client or by us: it holds no place
    Waiting waiting = Waiting::Nothing;
    QTimer idle; // runs while the client keeps the server waiting
};

Server::Server(Responder& instrument, QObject* parent) : QObject(parent), instrument_(instrument) {
    connect(&listener_, &QTcpServer::newConnection, this, &Server::accept);
}

Server::~Server() {
    for (const auto& connection : connections_) {
        if (connection->socket) {
            connection->socket->disconnect(this);
            delete connection->socket;
        }
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
    while (listener_.hasPendingConnections()) {
        // Clients that went with messages left to run are bounded too: new
        // ones wait in the listen queue until those have run.
        if (static_cast<int>(connections_.size()) - openCount_ >= maxClients_) {
            listener_.pauseAccepting();
            paused_ = true;
            return;
        }
        QTcpSocket* socket = listener_.nextPendingConnection();
        const QString peer = describe(*socket);
        if (openCount_ >= maxClients_) {
            noticeGone();
        }
        if (openCount_ >= maxClients_) {
            refuse(socket, peer);
        } else {
            admit(socket, peer);
        }
    }
}

void Server::admit(QTcpSocket* socket, const QString& peer) {
    socket->setReadBufferSize(kSocketReadBuffer);
    // Answers go out as soon as their message has run.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    acknowledgeAtOnce(*socket);
    auto connection = std::make_unique<Connection>();
    Connection* c = connection.get();
    c->socket = socket;
    c->peer = peer;
    c->idle.setSingleShot(true);
    connect(&c->idle, &QTimer::timeout, this, [this, c] { expire(*c); });
    connect(socket, &QIODevice::readyRead, this, [socket] { acknowledgeAtOnce(*socket); });
    connect(socket, &QIODevice::readyRead, this, &Server::schedule);
    connect(socket, &QIODevice::bytesWritten, this, [this, c] {
        // The client reads its answers again.
        if (c->waiting == Waiting::ForReader) {
            wait(*c, Waiting::Nothing);
        }
        schedule();
    });
    connect(socket, &QAbstractSocket::disconnected, this, &Server::schedule);
    connect(socket, &QAbstractSocket::errorOccurred, this, &Server::schedule);
    connections_.push_back(std::move(connection));
    ++openCount_;
    log(peer + " connected (" + QString::number(openCount_) + " of " +
        QString::number(maxClients_) + ")");
    emit connectionCountChanged(openCount_);
    schedule(); // bytes may be waiting already
}

// The client learns why in the one line it reads; what it sent meanwhile is
// read and dropped, so that closing never resets its connection.
void Server::refuse(QTcpSocket* socket, const QString& peer) {
    log(peer + " refused: " + QString::number(maxClients_) + " connections already");
    const std::string line = std::string(kTooManyConnections) + "\n";
    socket->write(line.data(), static_cast<qint64>(line.size()));
    retire(socket);
}

// A client that closed and at once connects again finds its place free,
// although the event loop may not have seen it go yet: the system is asked.
void Server::noticeGone() {
    for (const auto& connection : connections_) {
        Connection& c = *connection;
        if (!c.gone && (c.socket->state() != QAbstractSocket::ConnectedState ||
                        platform::peerHasClosed(c.socket->socketDescriptor()))) {
            markGone(c);
        }
    }
}

void Server::markGone(Connection& connection) {
    connection.gone = true;
    wait(connection, Waiting::Nothing);
    --openCount_;
    emit connectionCountChanged(openCount_);
}

void Server::wait(Connection& connection, Waiting what) {
    if (connection.waiting == what) {
        return;
    }
    connection.waiting = what;
    if (what == Waiting::Nothing) {
        connection.idle.stop();
    } else {
        connection.idle.start(idleTimeout_);
    }
}

void Server::expire(Connection& connection) {
    const QString seconds = QString::number(static_cast<double>(idleTimeout_.count()) / 1000);
    QTcpSocket* socket = connection.socket;
    connection.socket = nullptr;
    socket->disconnect(this);
    if (connection.waiting == Waiting::ForReader) {
        log(connection.peer + " closed: it read none of its answers for " + seconds + " s");
        // It reads nothing, so nothing would reach it.
        socket->abort();
        socket->deleteLater();
    } else {
        log(connection.peer + " closed: its message stayed unfinished for " + seconds + " s");
        retire(socket);
    }
    markGone(connection);
    schedule(); // which lets the connection go
}

// What was written goes out, then the end of the stream; whatever the peer
// still sends is read and dropped until it closes too, for the idle timeout
// at most. No more sockets than clients wait so at a time, the oldest cut
// off first, so that a flood of connections cannot use up the process's
// file descriptors.
void Server::retire(QTcpSocket* socket) {
    connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QIODevice::readyRead, socket, [socket] { socket->readAll(); });
    const auto endStream = [socket] {
        if (socket->bytesToWrite() == 0 && socket->state() == QAbstractSocket::ConnectedState) {
            platform::stopSending(socket->socketDescriptor());
        }
    };
    connect(socket, &QIODevice::bytesWritten, socket, endStream);
    QTimer::singleShot(idleTimeout_, socket, [socket] { socket->abort(); });
    socket->readAll();
    socket->flush();
    endStream();
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->deleteLater();
        return;
    }
    std::erase_if(retiring_, [](const QPointer<QTcpSocket>& gone) { return gone.isNull(); });
    retiring_.push_back(socket);
    if (static_cast<int>(retiring_.size()) > maxClients_) {
        if (QTcpSocket* oldest = retiring_.front()) {
            oldest->abort();
        }
        retiring_.pop_front();
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
        if (!connection.socket) {
            finished.push_back(i); // closed by us: nothing of it runs any more
            continue;
        }
        QTcpSocket& socket = *connection.socket;
        // A client that has gone still has what it sent served, so that a
        // command sent just before closing takes effect.
        const bool connected = socket.state() == QAbstractSocket::ConnectedState;
        if (!connected && !connection.gone) {
            markGone(connection);
        }
        const bool open = !connection.gone;
        if (open && socket.bytesToWrite() > kMaxUnsentBytes) {
            wait(connection, Waiting::ForReader);
            continue;
        }
        const auto event = nextEvent(connection);
        if (!event) {
            // Gone, and the system has handed over all it sent.
            if (!connected) {
                finished.push_back(i);
            } else if (open && connection.framer.inMessage()) {
                wait(connection, Waiting::ForRest);
            } else {
                wait(connection, Waiting::Nothing);
            }
            continue;
        }
        served = true;
        wait(connection, Waiting::Nothing);
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
        if (connection->socket) {
            connection->socket->disconnect(this);
            connection->socket->deleteLater();
            log(connection->peer + " disconnected");
        }
        instrument_.forget(connection->status);
    }
    if (paused_ && static_cast<int>(connections_.size()) - openCount_ < maxClients_) {
        paused_ = false;
        listener_.resumeAccepting();
        accept();
    }
    if (served) {
        schedule();
    }
}

} // namespace qd::scpi

// The SCPI server through real sockets in this process, over a fake board.
// Every wait ends on the signal it waits for; the bound only matters when
// something is broken.

#include "FakeInstrumentBoard.h"
#include "scpi/Server.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QTcpSocket>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace qd;
using namespace qd::control;
using namespace qd::scpi;
using namespace qd::serve;

namespace {

constexpr int kWaitMs = 20000;

class Client {
  public:
    explicit Client(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }

    bool waitConnected() {
        while (socket.state() != QAbstractSocket::ConnectedState) {
            QSignalSpy changed(&socket, &QAbstractSocket::stateChanged);
            if (socket.state() == QAbstractSocket::UnconnectedState || !changed.wait(kWaitMs)) {
                return false;
            }
        }
        return true;
    }

    // Until the server has closed this connection.
    bool waitClosed() {
        while (socket.state() != QAbstractSocket::UnconnectedState) {
            QSignalSpy changed(&socket, &QAbstractSocket::stateChanged);
            if (!changed.wait(kWaitMs)) {
                return false;
            }
        }
        return true;
    }

    void send(const std::string& bytes) {
        socket.write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket.flush();
    }

    // The next response line without its LF; nothing when none comes.
    std::optional<std::string> line() {
        while (!socket.canReadLine()) {
            QSignalSpy arrived(&socket, &QIODevice::readyRead);
            if (socket.state() != QAbstractSocket::ConnectedState || !arrived.wait(kWaitMs)) {
                return std::nullopt;
            }
        }
        return socket.readLine().chopped(1).toStdString();
    }

    std::optional<std::string> query(const std::string& message) {
        send(message + "\n");
        return line();
    }

    QTcpSocket socket;
};

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        state.applyStartupDefaults();
        server.setLogging(false);
        std::string error;
        ASSERT_TRUE(server.listen({QHostAddress(QHostAddress::LocalHost), 0}, &error)) << error;
    }

    std::unique_ptr<Client> connect() {
        auto client = std::make_unique<Client>(server.port());
        EXPECT_TRUE(client->waitConnected());
        return client;
    }

    // Until the server itself counts that many connections.
    bool waitForConnections(int count) {
        while (server.connectionCount() != count) {
            QSignalSpy changed(&server, &Server::connectionCountChanged);
            if (!changed.wait(kWaitMs)) {
                return false;
            }
        }
        return true;
    }

    ControlState state;
    FakeInstrumentBoard board{state};
    Instrument instrument{state, board, "2.0.2"};
    Server server{instrument};
};

const std::string kIdn = "Quensor,QD1600 evaluation board,SIM-1,2.0.2";

} // namespace

// One connection through a session: each step's bytes, then the lines they
// are answered with.
TEST_F(ServerTest, Conversation) {
    struct Step {
        const char* name;
        std::string send;
        std::vector<std::string> lines;
    };
    const std::vector<Step> steps = {
        {"identity", "*IDN?\n", {kIdn}},
        {"commands answer nothing", "SYST:DEV QD1600\nSOUR:DAC:CODE 4660\n*OPC?\n", {"1"}},
        {"compound query over CRLF",
         "SOUR:DAC:PMOD PD1K;PMOD?;CODE?;FRAM?\r\n",
         {"PD1K;4660;70196"}},
        {"voltage round trip",
         "SOUR:DAC:PMOD NORM;:SOUR:VOLT 2.465;:SOUR:DAC:CODE?;:SOUR:VOLT?\n",
         {"32768;2.465"}},
        {"measurement", "MEAS:VOLT?;RAW?\n", {"2.465;2048"}},
        {"refused code, then the queue",
         "SOUR:DAC:CODE 70000;CODE?\nSYST:ERR?\nSYST:ERR?\n",
         {"32768", "-222,\"Data out of range\"", "0,\"No error\""}},
        {"command error in the middle",
         "*OPC?;BOGUS;*OPC?\n*STB?;:SYST:ERR?\n",
         {"1", "4;-113,\"Undefined header\""}},
        {"several messages in one write", "*OPC?\n*OPC?\n*IDN?\n", {"1", "1", kIdn}},
    };
    auto client = connect();
    for (const Step& step : steps) {
        client->send(step.send);
        for (const std::string& expected : step.lines) {
            EXPECT_EQ(client->line().value_or("<nothing>"), expected) << step.name;
        }
    }
}

// The pieces of one message in separate writes; between them another
// client's round trip lets the server take in what has come so far.
TEST_F(ServerTest, MessageSplitAcrossPackets) {
    auto split = connect();
    auto other = connect();
    for (const char* piece : {"*I", "DN", "?", "\r"}) {
        split->send(piece);
        split->socket.waitForBytesWritten(kWaitMs);
        ASSERT_EQ(other->query("*OPC?"), "1") << "after " << piece;
    }
    split->send("\n");
    EXPECT_EQ(split->line(), kIdn);
}

TEST_F(ServerTest, OverlongMessageIsReportedAndTheConnectionStays) {
    auto client = connect();
    client->send(std::string(5000, 'A') + "\n*IDN?\n");
    EXPECT_EQ(client->line(), kIdn);
    client->send(std::string(3 * 4096, '\xff') + std::string(3, '\0'));
    client->send(std::string(100000, ';') + "\n*OPC?\n");
    EXPECT_EQ(client->line(), "1");
    EXPECT_EQ(client->query("SYST:ERR?;ERR?;ERR?"),
              "-363,\"Input buffer overrun\";-363,\"Input buffer overrun\";0,\"No error\"");
}

TEST_F(ServerTest, NinthConnectionIsToldAndClosedAndTheEightGoOn) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < Server::kDefaultMaxClients; ++i) {
        clients.push_back(connect());
    }
    ASSERT_TRUE(waitForConnections(Server::kDefaultMaxClients));

    Client ninth(server.port());
    ASSERT_TRUE(ninth.waitConnected());
    ninth.send("*IDN?\n");
    EXPECT_EQ(ninth.line(), std::string(Server::kTooManyConnections));
    EXPECT_TRUE(ninth.waitClosed());
    EXPECT_EQ(ninth.socket.error(), QAbstractSocket::RemoteHostClosedError) << "not reset";
    EXPECT_EQ(server.connectionCount(), Server::kDefaultMaxClients);
    for (std::size_t i = 0; i < clients.size(); ++i) {
        EXPECT_EQ(clients[i]->query("*OPC?"), "1") << "client " << i;
    }

    // A place that comes free is taken again.
    clients.front()->socket.disconnectFromHost();
    ASSERT_TRUE(waitForConnections(Server::kDefaultMaxClients - 1));
    auto next = connect();
    EXPECT_EQ(next->query("*OPC?"), "1");
}

// A client that closes and connects again at once finds its place free,
// whether or not the server has seen it go yet.
TEST_F(ServerTest, QuickReconnectsAreNeverRefused) {
    server.setMaxClients(2);
    auto held = connect();
    for (int i = 0; i < 50; ++i) {
        Client quick(server.port());
        ASSERT_TRUE(quick.waitConnected());
        ASSERT_EQ(quick.query("*OPC?"), "1") << "reconnect " << i;
        quick.socket.disconnectFromHost();
    }
    EXPECT_EQ(held->query("*OPC?"), "1");
}

// Half a message holds a place only for the idle timeout; a client that is
// connected and silent keeps its place.
TEST_F(ServerTest, StalledClientsAreClosedAndTheirPlacesTaken) {
    server.setMaxClients(3);
    server.setIdleTimeout(std::chrono::milliseconds(200));
    auto silent = connect();
    std::vector<std::unique_ptr<Client>> stalled;
    for (int i = 0; i < 2; ++i) {
        stalled.push_back(connect());
        stalled.back()->send("*ID");
    }
    ASSERT_TRUE(waitForConnections(3));
    for (std::size_t i = 0; i < stalled.size(); ++i) {
        EXPECT_TRUE(stalled[i]->waitClosed()) << "stalled client " << i;
        EXPECT_EQ(stalled[i]->socket.error(), QAbstractSocket::RemoteHostClosedError)
            << "stalled client " << i << " not reset";
    }
    auto next = connect();
    EXPECT_EQ(next->query("*IDN?"), kIdn);
    EXPECT_EQ(silent->query("*IDN?"), kIdn);
}

// Answers left unread while the client is passed over close it too; it
// holds the server's memory and a place otherwise.
TEST_F(ServerTest, ClientThatReadsNoneOfItsAnswersIsClosed) {
    server.setIdleTimeout(std::chrono::milliseconds(200));
    auto deaf = connect();
    ASSERT_TRUE(waitForConnections(1));
    deaf->socket.setReadBufferSize(1);
    std::string message = "*IDN?";
    while (message.size() + 6 < 4096) {
        message += ";*IDN?";
    }
    // About 30 KB of answers each: far more than the system's buffers hold.
    std::string messages;
    for (int i = 0; i < 400; ++i) {
        messages += message + "\n";
    }
    deaf->send(messages);
    ASSERT_TRUE(waitForConnections(0));
    EXPECT_EQ(connect()->query("*OPC?"), "1");
}

TEST_F(ServerTest, ClientGoneMidMessageLeavesTheOthersServed) {
    auto stays = connect();
    auto goes = connect();
    ASSERT_TRUE(waitForConnections(2));
    goes->send("SYST:DEV QD1600;:SOUR:DAC:CODE 77\nSOUR:DAC:CO");
    goes->socket.abort();
    ASSERT_TRUE(waitForConnections(1));
    // What it finished before going took effect; the unfinished rest not.
    EXPECT_EQ(stays->query("SOUR:DAC:CODE?"), "77");
    EXPECT_EQ(stays->query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(stays->query("*IDN?"), kIdn);
}

// A flood of commands on one connection; another connection's write lands
// on the board long before the flood's end, not after it.
TEST_F(ServerTest, FloodingClientDoesNotStarveAnother) {
    ASSERT_TRUE(instrument.selectDevice("QD1600"));
    auto flood = connect();
    auto polite = connect();
    ASSERT_TRUE(waitForConnections(2));

    constexpr int kFlood = 10000;
    std::string messages;
    for (int i = 0; i < kFlood; ++i) {
        messages += "SOUR:DAC:CODE 1\n";
    }
    flood->send(messages + "*OPC?\n");
    EXPECT_EQ(polite->query("SOUR:DAC:CODE 2;*OPC?"), "1");
    EXPECT_EQ(flood->line(), "1");

    ASSERT_EQ(board.writes.size(), std::size_t{kFlood} + 1);
    std::size_t position = 0;
    while (board.writes[position].frame != 2) {
        ++position;
    }
    EXPECT_LT(position, std::size_t{kFlood} / 10) << "the other connection waited for the flood";
}

TEST_F(ServerTest, TwoClientsShareOneInstrument) {
    auto a = connect();
    auto b = connect();
    EXPECT_EQ(a->query("SYST:DEV QD1400;:SOUR:DAC:CODE 10;CODE?"), "10");
    EXPECT_EQ(b->query("SOUR:DAC:CODE?;:SYST:DEV?"), "10;QD1400");
    EXPECT_EQ(b->query("SOUR:DAC:CODE 20;PMOD PD1K;*OPC?"), "1");
    EXPECT_EQ(a->query("SOUR:DAC:CODE?;PMOD?"), "20;PD1K");
    // One instrument, but each connection its own error queue.
    EXPECT_EQ(b->query("*OPC?;BOGUS"), "1");
    EXPECT_EQ(a->query("SYST:ERR?"), "0,\"No error\"");
    EXPECT_EQ(b->query("SYST:ERR?"), "-113,\"Undefined header\"");
}

// A lock held by a connection that goes away is let go.
TEST_F(ServerTest, LockEndsWithItsConnection) {
    auto holder = connect();
    auto other = connect();
    ASSERT_TRUE(waitForConnections(2));
    EXPECT_EQ(holder->query("SYST:LOCK:REQ?"), "1");
    EXPECT_EQ(other->query("SYST:LOCK:REQ?"), "0");
    holder->socket.abort();
    ASSERT_TRUE(waitForConnections(1));
    EXPECT_EQ(other->query("SYST:LOCK:REQ?"), "1");
}

TEST(ListenAddress, Parse) {
    struct Case {
        const char* text;
        const char* host; // nullptr: refused
        quint16 port;
    };
    const std::vector<Case> cases = {
        {"", "127.0.0.1", 5025},
        {":6000", "127.0.0.1", 6000},
        {"localhost:5025", "127.0.0.1", 5025},
        {"0.0.0.0:5025", "0.0.0.0", 5025},
        {"192.168.1.20:5025", "192.168.1.20", 5025},
        {"[::1]:5025", "::1", 5025},
        {"[::]:1", "::", 1},
        {"5025", nullptr, 0},
        {"127.0.0.1", nullptr, 0},
        {":0", "127.0.0.1", 0},
        {":65536", nullptr, 0},
        {":50x", nullptr, 0},
        {":", nullptr, 0},
        {":-1", nullptr, 0},
        {"1.2.3:5025", nullptr, 0},
        {"1.2.3.256:5025", nullptr, 0},
        {"example.com:5025", nullptr, 0},
        {"::1:5025", nullptr, 0},
        {"[::1:5025", nullptr, 0},
        {"[127.0.0.1]:5025", nullptr, 0},
        {"[]:5025", nullptr, 0},
    };
    for (const Case& c : cases) {
        if (!c.host) {
            EXPECT_THROW(parseListenAddress(c.text), std::invalid_argument) << c.text;
            continue;
        }
        try {
            const ListenAddress address = parseListenAddress(c.text);
            EXPECT_EQ(address.host, QHostAddress(QString::fromLatin1(c.host))) << c.text;
            EXPECT_EQ(address.port, c.port) << c.text;
        } catch (const std::exception& e) {
            ADD_FAILURE() << c.text << ": " << e.what();
        }
    }
}

TEST_F(ServerTest, PortInUseIsReported) {
    Server second(instrument);
    std::string error;
    EXPECT_FALSE(second.listen({QHostAddress(QHostAddress::LocalHost), server.port()}, &error));
    EXPECT_FALSE(error.empty());
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

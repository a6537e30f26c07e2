// The SCPI server over real loopback sockets. Most instruments sit on a session
// that was never connected (device queries reply "nan"); the stop-while-busy
// case uses a silent simulated supply so a line is really in flight.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace varek {
namespace {

using namespace std::chrono_literals;
constexpr auto patience = 20s;  // generous: the machine may be loaded

/// A blocking loopback client with deadlines on every wait.
class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        connectError_ = connected_ ? 0 : errno;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    int connectError() const { return connectError_; }

    void send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;  // the server may close first; the reads tell the story
            sent += static_cast<std::size_t>(n);
        }
    }
    void endSending() { ::shutdown(fd_, SHUT_WR); }

    /// The next line with its "\n", or "" when the connection ends or nothing comes.
    std::string readLine() {
        for (;;) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end + 1);
                pending_.erase(0, end + 1);
                return line;
            }
            if (!fill()) return "";
        }
    }

    /// True once the server has closed (EOF or reset); `unread` gets any bytes left.
    bool waitClosed(std::string* unread = nullptr) {
        while (fill()) {
        }
        if (unread) *unread = pending_;
        return ended_;
    }

private:
    bool fill() {
        if (ended_) return false;
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(std::chrono::milliseconds(patience).count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ended_ = true;
            return false;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    int fd_;
    bool connected_ = false;
    int connectError_ = 0;
    bool ended_ = false;
    std::string pending_;
};

class SCPIServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start([this](const std::string& text) {
            std::lock_guard lock(mutex);
            states.push_back(text);
        });
        port = server.boundPort();
        ASSERT_NE(port, 0);
    }

    SerialSession session;  // never connected
    SCPIServer server{0, [this] {
        return std::make_unique<SCPIInstrument>(session, DeviceIdentity{60301, 12345, 1.23});
    }};
    std::uint16_t port = 0;
    std::mutex mutex;
    std::vector<std::string> states;
};

TEST_F(SCPIServerTest, ReportsReadyWithThePort) {
    std::lock_guard lock(mutex);
    EXPECT_EQ(states, std::vector<std::string>{"SCPI ready on TCP " + std::to_string(port) +
                                               ", local and LAN, no authentication"});
}

TEST_F(SCPIServerTest, AnswersLinesInOrderWhateverThePacketing) {
    Client client(port);
    ASSERT_TRUE(client.connected());
    client.send("*IDN?\nSYST:VERS?\n");
    EXPECT_EQ(client.readLine(), "RuvizOzurir,VAREK-RD6030-Max-SCPI,12345,1.23\n");
    EXPECT_EQ(client.readLine(), "1999.0\n");

    client.send("INST:NSEL?\r\n*OPC?\r\n");
    EXPECT_EQ(client.readLine(), "1\n");
    EXPECT_EQ(client.readLine(), "1\n");

    // Set-only lines send nothing, so the next reply is the query's.
    client.send("INST:SEL 1\n\nVOLT 5\nINST:SEL?\n");
    EXPECT_EQ(client.readLine(), "CH1\n");

    client.send("MEAS:VOLT?\nSYST:ERR?\n");
    EXPECT_EQ(client.readLine(), "nan\n");
    EXPECT_EQ(client.readLine(), "-200,\"Device operation failed\"\n");
}

TEST_F(SCPIServerTest, PipelinedLinesKeepTheirOrder) {
    Client client(port);
    std::string burst;
    for (int i = 0; i < 200; ++i) burst += (i % 2 ? "*OPC?\n" : "INST:SEL?\n");
    client.send(burst);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(client.readLine(), i % 2 ? "1\n" : "CH1\n") << i;
}

TEST_F(SCPIServerTest, HalfClosedClientStillGetsEveryCompleteLine) {
    Client client(port);
    client.send("*OPC?\nINST:SEL?\n*OPC?");  // the last line has no terminator
    client.endSending();
    std::string rest;
    EXPECT_TRUE(client.waitClosed(&rest));
    EXPECT_EQ(rest, "1\nCH1\n");
}

TEST_F(SCPIServerTest, InputItCannotServeClosesWithoutReply) {
    const std::string longLine(9000, 'A');
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"byte 0x80", "*OPC?\x80\n*OPC?\n"},
        {"byte 0xFF", "\xFF\n"},
        {"9000 bytes without LF", longLine},
        {"9000-byte line", longLine + "\n"},
    };
    for (const auto& c : cases) {
        Client client(port);
        client.send(c.bytes);
        std::string unread;
        EXPECT_TRUE(client.waitClosed(&unread)) << c.name;
        EXPECT_EQ(unread, "") << c.name;
    }
}

TEST_F(SCPIServerTest, ProcessesA4096ByteLine) {
    Client client(port);
    std::string line = "*OPC?" + std::string(4096 - 5, ' ');
    ASSERT_EQ(line.size(), 4096u);
    client.send(line + "\n" + "SYST:VERS?\n");
    EXPECT_EQ(client.readLine(), "1\n");
    EXPECT_EQ(client.readLine(), "1999.0\n");
}

TEST_F(SCPIServerTest, EachConnectionHasItsOwnErrorQueue) {
    Client first(port);
    Client second(port);
    first.send("FOO\n*OPC?\n");
    EXPECT_EQ(first.readLine(), "1\n");
    second.send("SYST:ERR?\n");
    EXPECT_EQ(second.readLine(), "0,\"No error\"\n");
    first.send("SYST:ERR?\n");
    EXPECT_EQ(first.readLine(), "-113,\"Undefined header\"\n");
}

TEST_F(SCPIServerTest, StopClosesClientsAndListener) {
    Client client(port);
    client.send("*OPC?\n");
    ASSERT_EQ(client.readLine(), "1\n");
    server.stop();
    EXPECT_TRUE(client.waitClosed());
    Client late(port);
    EXPECT_FALSE(late.connected());
    EXPECT_EQ(late.connectError(), ECONNREFUSED);
    server.stop();  // repeated stops are harmless
}

TEST_F(SCPIServerTest, ManyClientsAtOnceEachKeepTheirOrder) {
    constexpr int clients = 8;
    constexpr int queries = 50;
    std::vector<std::thread> threads;
    std::vector<int> good(clients, 0);
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            Client client(port);
            for (int i = 0; i < queries; ++i) {
                client.send(i % 3 == 0 ? "FOO\nSYST:ERR?\n" : "INST:SEL?\n*OPC?\n");
                const std::string expected = i % 3 == 0 ? "-113,\"Undefined header\"\n" : "CH1\n";
                if (client.readLine() == expected && (i % 3 == 0 || client.readLine() == "1\n")) {
                    ++good[c];
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int c = 0; c < clients; ++c) EXPECT_EQ(good[c], queries) << "client " << c;
}

TEST(SCPIServerLifecycle, BindFailureIsReportedNotThrown) {
    SerialSession session;
    auto factory = [&] { return std::make_unique<SCPIInstrument>(session, DeviceIdentity{}); };
    SCPIServer first(0, factory);
    first.start([](const std::string&) {});
    ASSERT_NE(first.boundPort(), 0);

    SCPIServer second(first.boundPort(), factory);
    std::string reported;
    second.start([&](const std::string& text) { reported = text; });  // start waits for it
    EXPECT_EQ(reported, "SCPI failed: Address already in use");
    EXPECT_EQ(second.boundPort(), 0);
}

TEST(SCPIServerLifecycle, StopFromTheStateCallbackDoesNotDeadlock) {
    SerialSession session;
    SCPIServer* self = nullptr;
    SCPIServer server(0, [&] { return std::make_unique<SCPIInstrument>(session, DeviceIdentity{}); });
    self = &server;
    server.start([&](const std::string&) { self->stop(); });
    EXPECT_EQ(server.boundPort(), 0);
    server.stop();
}

TEST(SCPIServerLifecycle, StopInterruptsALineWaitingOnASilentSupply) {
    sim::SupplySimulator supply;
    SerialSession session;
    const DeviceIdentity identity = session.connect(supply.path(), 115200, 1);
    supply.setSilent(true);
    const std::size_t before = supply.requestCount();
    {
        SCPIServer server(0, [&] { return std::make_unique<SCPIInstrument>(session, identity); });
        server.start([](const std::string&) {});
        Client client(server.boundPort());
        client.send("MEAS:VOLT?;MEAS:CURR?\n");
        // The first status read is on the wire: the line is in flight.
        ASSERT_TRUE(supply.waitForRequests(before + 1, patience));
        server.stop();
        std::string unread;
        EXPECT_TRUE(client.waitClosed(&unread));
        EXPECT_EQ(unread, "");
    }  // the destructor waits for the transaction in flight
    // Stop came before the second command, so it never reached the supply.
    EXPECT_EQ(supply.requestCount(), before + 1);
}

}  // namespace
}  // namespace varek

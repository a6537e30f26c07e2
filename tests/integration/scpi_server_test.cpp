// The SCPI server over real loopback sockets. The instruments sit on a session
// that was never connected, so device queries reply "nan".
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"

namespace varek {
namespace {

/// A blocking loopback client; every wait gives up after 20 s (the machine may be loaded).
class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connectError_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
    }
    ~Client() { ::close(fd_); }

    int connectError() const { return connectError_; }
    void endSending() { ::shutdown(fd_, SHUT_WR); }
    void send(const std::string& bytes) {
        // The server may close first; the reads tell the story.
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }

    /// The next line with its "\n", or "" when the connection ends or nothing comes.
    std::string readLine() {
        std::size_t end;
        while ((end = pending_.find('\n')) == std::string::npos) {
            if (!fill()) return "";
        }
        std::string line = pending_.substr(0, end + 1);
        pending_.erase(0, end + 1);
        return line;
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
        pollfd entry{fd_, POLLIN, 0};
        if (ended_ || ::poll(&entry, 1, 20000) <= 0) return false;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        ended_ = n <= 0;
        if (!ended_) pending_.append(buffer, static_cast<std::size_t>(n));
        return !ended_;
    }

    int fd_;
    int connectError_ = 0;
    bool ended_ = false;
    std::string pending_;
};

class SCPIServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.start([](const std::string&) {});
        port = server.boundPort();
        ASSERT_NE(port, 0);
    }

    SerialSession session;  // never connected
    SCPIServer server{0, [this] {
        return std::make_unique<SCPIInstrument>(session, DeviceIdentity{60301, 12345, 1.23});
    }};
    std::uint16_t port = 0;
};

TEST_F(SCPIServerTest, AnswersLinesInOrderWhateverThePacketing) {
    Client client(port);
    ASSERT_EQ(client.connectError(), 0);
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

TEST_F(SCPIServerTest, HalfClosedClientStillGetsEveryCompleteLine) {
    Client client(port);
    client.send("*OPC?\nINST:SEL?\n*OPC?");  // the last line has no terminator
    client.endSending();
    std::string rest;
    EXPECT_TRUE(client.waitClosed(&rest));
    EXPECT_EQ(rest, "1\nCH1\n");
}

TEST_F(SCPIServerTest, InputItCannotServeClosesWithoutReply) {
    for (const std::string& bytes : {std::string("*OPC?\x80\n*OPC?\n"), std::string(9000, 'A')}) {
        Client client(port);
        client.send(bytes);
        std::string unread;
        EXPECT_TRUE(client.waitClosed(&unread)) << bytes.substr(0, 8);
        EXPECT_EQ(unread, "") << bytes.substr(0, 8);
    }
}

TEST_F(SCPIServerTest, ProcessesA4096ByteLine) {
    Client client(port);
    client.send("*OPC?" + std::string(4096 - 5, ' ') + "\nSYST:VERS?\n");  // 4096 bytes before the LF
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
    EXPECT_EQ(Client(port).connectError(), ECONNREFUSED);
}

}  // namespace
}  // namespace varek

// scpi_roundtrip_tool: SCPI query round trips over loopback against the
// in-process simulated supply (no added latency).
//   1. *IDN? on one connection (never touches the supply), and beside it the
//      status and range queries *ESR?, *STB? and VOLT? MAX, which must not
//      touch it either (the simulator's request count is checked);
//   2. MEAS:VOLT? on one connection, against a bare SerialSession::sample()
//      measured in alternating blocks of the same run: the difference is the
//      SCPI layer's own cost per device query;
//   3. 12 clients at once (within one address's share of 16 SCPI connections), each
//      pipelining bursts of four different queries,
//      checking that every reply comes back in the order asked;
//   4. *IDN? on a third connection while two other clients wait on a silent
//      supply (each of their reads takes the 2 s transaction deadline).
// Usage: scpi_roundtrip_tool [ROUNDS]   (default 2000 per measurement)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int blockSize = 100;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

class Client {
public:
    explicit Client(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::perror("connect");
            std::exit(1);
        }
    }
    ~Client() { ::close(fd_); }

    void send(const std::string& text) {
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
    }
    /// The next line without its "\n"; "" when the connection ended.
    std::string line() {
        for (;;) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string result = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                return result;
            }
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) return "";
            pending_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    std::string query(const std::string& text) {
        send(text + "\n");
        return line();
    }

private:
    int fd_;
    std::string pending_;
};

bool isReading(const std::string& reply) {
    const auto point = reply.find('.');
    return point != std::string::npos && reply.size() == point + 3 &&
           std::all_of(reply.begin(), reply.end(), [](char c) { return c == '.' || (c >= '0' && c <= '9'); });
}

struct Concurrent {
    double queriesPerSecond = 0;
    int outOfOrder = 0;
};

Concurrent concurrentClients(std::uint16_t port, int clients, int bursts) {
    const std::string burst = "*IDN?\nMEAS:VOLT?\nSYST:VERS?\nINST:SEL?\n";
    std::atomic<int> outOfOrder{0};
    std::vector<std::thread> threads;
    const auto start = Clock::now();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            Client client(port);
            for (int b = 0; b < bursts; ++b) {
                client.send(burst);
                const std::string idn = client.line();
                const std::string volts = client.line();
                const std::string version = client.line();
                const std::string channel = client.line();
                if (idn.rfind("RuvizOzurir,", 0) != 0 || !isReading(volts) || version != "1999.0" ||
                    channel != "CH1") {
                    ++outOfOrder;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {4.0 * clients * bursts / seconds, outOfOrder.load()};
}

/// Median *IDN? round trip on a fresh connection while two clients' device reads
/// wait on a silent supply; the rounds stay within the first client's 2 s wait.
double identityWhileOthersWait(varek::sim::SupplySimulator& supply, std::uint16_t port, int& bad) {
    supply.setSilent(true);
    Client first(port);
    Client second(port);
    const std::size_t before = supply.requestCount();
    first.send("MEAS:VOLT?\n");
    second.send("MEAS:CURR?\n");
    supply.waitForRequests(before + 1, std::chrono::seconds(10));
    Client third(port);
    std::vector<double> rounds;
    const auto start = Clock::now();
    while (Clock::now() - start < std::chrono::milliseconds(1000)) {
        const auto sent = Clock::now();
        bad += third.query("*IDN?").rfind("RuvizOzurir,", 0) != 0;
        rounds.push_back(micros(Clock::now() - sent));
    }
    bad += first.line() != "nan";
    bad += second.line() != "nan";
    supply.setSilent(false);
    return median(rounds);
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(100, std::atoi(argv[1])) : 2000;
    varek::sim::SupplySimulator supply;
    varek::SerialSession session;
    const varek::DeviceIdentity identity = session.connect(supply.path(), 115200, 1);
    session.setOutput(true);
    varek::SCPIServer server(0, [&] { return std::make_unique<varek::SCPIInstrument>(session, identity); });
    server.start([](const varek::ListenerEvent&) {});
    Client client(server.boundPort());

    // Blocks of 100, alternating sample() and MEAS:VOLT?, keep drift (frequency
    // scaling, other load) out of the difference; medians over blocks resist
    // the bursts of a shared machine.
    std::vector<double> idn, esr, stb, voltMax, sample, measure, overhead;
    int bad = 0;
    // One block of `query`, each reply checked; its mean round trip goes to `into`.
    const auto block = [&](const char* query, auto valid, std::vector<double>& into) {
        const auto start = Clock::now();
        for (int i = 0; i < blockSize; ++i) bad += !valid(client.query(query));
        into.push_back(micros(Clock::now() - start) / blockSize);
    };
    for (int done = 0; done < rounds; done += blockSize) {
        block("*IDN?", [](const std::string& r) { return r.rfind("RuvizOzurir,", 0) == 0; }, idn);
        const std::size_t before = supply.requestCount();
        block("*ESR?", [](const std::string& r) { return r == "0"; }, esr);
        block("*STB?", [](const std::string& r) { return r == "0"; }, stb);
        block("VOLT? MAX", [](const std::string& r) { return r == "60.00"; }, voltMax);
        bad += supply.requestCount() != before;  // none of them may reach the supply
        auto start = Clock::now();
        for (int i = 0; i < blockSize; ++i) session.sample();
        sample.push_back(micros(Clock::now() - start) / blockSize);
        start = Clock::now();
        for (int i = 0; i < blockSize; ++i) bad += !isReading(client.query("MEAS:VOLT?"));
        measure.push_back(micros(Clock::now() - start) / blockSize);
        overhead.push_back(measure.back() - sample.back());
    }

    const Concurrent crowd = concurrentClients(server.boundPort(), 12, std::max(1, rounds / 48));
    const double waiting = identityWhileOthersWait(supply, server.boundPort(), bad);
    std::printf("rounds per measurement:            %d (median of blocks of %d)\n", rounds, blockSize);
    std::printf("*IDN? round trip (no device):      %8.1f us  (%8.0f /s)\n", median(idn), 1e6 / median(idn));
    std::printf("*ESR? round trip (no device):      %8.1f us\n", median(esr));
    std::printf("*STB? round trip (no device):      %8.1f us\n", median(stb));
    std::printf("VOLT? MAX round trip (no device):  %8.1f us\n", median(voltMax));
    std::printf("bare session.sample():             %8.1f us  (%8.0f /s)\n", median(sample),
                1e6 / median(sample));
    std::printf("MEAS:VOLT? round trip:             %8.1f us  (%8.0f /s)\n", median(measure),
                1e6 / median(measure));
    std::printf("SCPI overhead per device query:    %8.1f us\n", median(overhead));
    std::printf("simulator turnaround (mean):       %8.1f us\n", supply.meanTurnaroundMicros());
    std::printf("12 clients, 4-query bursts:        %8.0f queries/s, %d bursts out of order\n",
                crowd.queriesPerSecond, crowd.outOfOrder);
    std::printf("*IDN? while 2 wait on silence:     %8.1f us\n", waiting);
    std::printf("malformed replies:                 %d\n", bad);
    return bad == 0 && crowd.outOfOrder == 0 ? 0 : 1;
}

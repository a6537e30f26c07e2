#pragma once

// A PowerModel wired to a simulated supply on a real pseudo-terminal, its servers on
// system-chosen loopback ports, preferences and token in a throw-away directory. The
// test thread is the GUI thread: every wait pumps its events.

#include <gtest/gtest.h>

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <future>

#include "power_model.hpp"
#include "power_model_bridge.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "varek_test_support.hpp"

namespace varek {

/// Reaches the model's private operations for tests.
class PowerModelTestAccess {
public:
    static void accept(PowerModel& m, const PowerSample& s) { m.accept(s); }
    static void log(PowerModel& m, const QString& line) { m.log(line); }
    static std::uint64_t hopsPosted(const PowerModel& m) { return m.bridge_->hopsPosted.load(); }
};

namespace test {

using namespace std::chrono_literals;

inline bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 20000); }

struct HttpReply {
    int status = 0;
    Json body;
};

/// One HTTP exchange over loopback, from a worker thread (the handler needs the GUI
/// thread, which the caller keeps pumping).
inline std::future<HttpReply> sendAsync(std::uint16_t port, const std::string& method, const std::string& path,
                                        const std::string& token) {
    const std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                                token + "\r\nContent-Length: 0\r\n\r\n";
    return std::async(std::launch::async, [port, request] {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::string wire;
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) wire.append(buffer, std::size_t(n));
        }
        ::close(fd);
        HttpReply reply;
        const auto split = wire.find("\r\n\r\n");
        if (split == std::string::npos) return reply;
        reply.status = std::stoi(wire.substr(9, 3));
        reply.body = Json::parse(wire.substr(split + 4), nullptr, false);
        return reply;
    });
}

inline bool ready(const std::future<HttpReply>& f) { return f.wait_for(0s) == std::future_status::ready; }

inline bool isRead(const Bytes& f, std::uint16_t start, std::uint16_t count) {
    return f.size() == 8 && f[1] == 0x03 && ((f[2] << 8) | f[3]) == start && ((f[4] << 8) | f[5]) == count;
}

/// Write requests (0x06 or 0x10) starting at `reg`.
inline std::size_t writesTo(const std::vector<Bytes>& frames, std::uint16_t reg) {
    return std::count_if(frames.begin(), frames.end(), [reg](const Bytes& f) {
        return f.size() >= 8 && (f[1] == 0x06 || f[1] == 0x10) && ((f[2] << 8) | f[3]) == reg;
    });
}

/// Holds a simulator reply until opened, or 1.8 s (inside the 2 s transaction limit).
class Gate {
public:
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 1800ms, [&] { return open_; });
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

class PowerModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QCoreApplication::instance()) {  // one for the whole run, never destroyed
            static int argc = 1;
            static char name[] = "power_model_test";
            static char* argv[] = {name, nullptr};
            new QCoreApplication(argc, argv);
        }
        ASSERT_TRUE(home.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.filePath("config"));
    }
    void TearDown() override {
        gate.open();
        model.reset();
        sim.reset();
    }

    void start(QStringList arguments = {}, sim::SimulatorOptions simOptions = {}) {
        if (!sim) sim = std::make_unique<sim::SupplySimulator>(simOptions);
        PowerModel::Options options;
        options.httpPort = httpPort;
        options.scpiPort = scpiPort;
        options.arguments = std::move(arguments);
        options.supportDirectory = home.filePath("support").toStdString();
        options.listPorts = listPorts ? listPorts : [p = sim->path()] { return std::vector<std::string>{p}; };
        options.chooseSaveLocation = [this](const QString& proposed) {
            proposedNames.append(proposed);
            return saveLocation;
        };
        model = std::make_unique<PowerModel>(std::move(options));
    }

    void connectModel() {
        model->connect();
        ASSERT_TRUE(waitFor([&] { return model->connected() && !model->busy(); })) << model->notice().toStdString();
    }

    void waitForSamples(std::size_t count) {
        ASSERT_TRUE(waitFor([&] { return model->samples().size() >= count; }));
    }

    HttpReply request(const std::string& method, const std::string& path) {
        auto reply = sendAsync(model->httpPort(), method, path, model->apiToken().toStdString());
        EXPECT_TRUE(waitFor([&] { return ready(reply); }));
        return reply.get();
    }

    /// The newest log line without its "HH:mm:ss  " stamp.
    std::string lastLog() const {
        return model->events().isEmpty() ? std::string() : model->events().first().mid(10).toStdString();
    }

    /// Leaves the next `count` requests unanswered, decided per request on the
    /// simulator thread; `also` then runs for each request.
    void silenceNext(int count, std::function<void(const Bytes&, bool silent)> also = {}) {
        silentLeft = count;
        sim->onRequest([this, also](const Bytes& frame) {
            int left = silentLeft.load();
            while (left > 0 && !silentLeft.compare_exchange_weak(left, left - 1)) {
            }
            sim->setSilent(left > 0);
            if (also) also(frame, left > 0);
        });
    }

    /// The simulator holds its answer to the first write to `reg` at `gate`.
    void holdFirstWriteTo(std::uint16_t reg) {
        sim->onRequest([this, reg, held = std::make_shared<std::atomic<bool>>(false)](const Bytes& frame) {
            if (writesTo({frame}, reg) == 1 && !held->exchange(true)) gate.wait();
        });
    }

    QTemporaryDir home;
    std::uint16_t httpPort = 0;
    std::uint16_t scpiPort = 0;
    std::function<std::vector<std::string>()> listPorts;
    QString saveLocation;
    QStringList proposedNames;
    std::atomic<int> silentLeft{0};
    Gate gate;
    std::unique_ptr<sim::SupplySimulator> sim;
    std::unique_ptr<PowerModel> model;
};

}  // namespace test
}  // namespace varek

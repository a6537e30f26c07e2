#pragma once

// A PowerModel on a simulated supply (real pty), servers on loopback, settings in a
// temporary directory. The test thread is the GUI thread: every wait pumps events.

#include <gtest/gtest.h>

#include <QSettings>
#include <QTest>

#include <future>

#include "varek/supply_engine.hpp"
#include "loopback_client.hpp"
#include "power_model.hpp"
#include "temp_dir.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "varek_test_support.hpp"

namespace varek {

namespace test {

using namespace std::chrono_literals;

inline bool waitFor(const std::function<bool()>& condition) { return QTest::qWaitFor(condition, 20000); }

/// One API exchange from a worker thread (the handler needs the pumped GUI thread).
inline std::future<ApiReply> sendAsync(std::uint16_t port, const std::string& method, const std::string& path,
                                       const std::string& token, const std::string& body = {}) {
    return std::async(std::launch::async, [=] { return apiExchange(port, method, path, token, body); });
}

inline bool ready(const std::future<ApiReply>& f) { return f.wait_for(0s) == std::future_status::ready; }

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
struct Gate {
    std::atomic<bool> isOpen{false};
    void wait() { waitUntil([&] { return isOpen.load(); }, 1800ms); }
    void open() { isOpen = true; }
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
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, homeFile("config"));
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
        options.supportDirectory = home.path() / "support";
        options.listPorts = listPorts ? listPorts : [p = sim->path()] { return std::vector<std::string>{p}; };
        options.chooseSaveLocation = [this](const QString& proposed) {
            proposedNames.append(proposed);
            return saveLocation;
        };
        options.chooseRecordingFolder = [this](const QString& current) {
            offeredFolders.append(current);
            return recordingFolder;
        };
        model = std::make_unique<PowerModel>(std::move(options));
    }

    void connectModel() {
        model->connect();
        ASSERT_TRUE(waitFor([&] { return model->connected() && !model->busy(); })) << model->notice().toStdString();
    }

    void waitForSamples(std::size_t count) { ASSERT_TRUE(waitFor([&] { return model->samples().size() >= count; })); }

    std::future<ApiReply> send(const std::string& method, const std::string& path, const std::string& body = {}) {
        return sendAsync(model->httpPort(), method, path, model->apiToken().toStdString(), body);
    }
    /// Sends an output request and returns once it has joined the API's switching line.
    std::future<ApiReply> sendQueued(const std::string& method, const std::string& path) {
        const auto pending = model->engine().outputs().pending();
        auto reply = send(method, path);
        EXPECT_TRUE(waitFor([&] { return model->engine().outputs().pending() > pending; }));
        return reply;
    }
    ApiReply request(const std::string& method, const std::string& path, const std::string& body = {}) {
        auto reply = send(method, path, body);
        EXPECT_TRUE(waitFor([&] { return ready(reply); }));
        return reply.get();
    }

    /// The newest log line without its "HH:mm:ss  " stamp.
    std::string lastLog() const {
        return model->events().isEmpty() ? std::string() : model->events().first().mid(10).toStdString();
    }

    /// Leaves the next `count` requests unanswered; `also` then runs for each request.
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

    /// True when some line of the activity log, without its stamp, starts with `prefix`.
    bool logged(const QString& prefix) const {
        for (const QString& line : model->events()) {
            if (line.mid(10).startsWith(prefix)) return true;
        }
        return false;
    }

    /// `name` inside the test's private directory.
    QString homeFile(const char* name) const { return QString::fromStdString((home.path() / name).string()); }

    TempDir home;
    std::uint16_t httpPort = 0;
    std::uint16_t scpiPort = 0;
    std::function<std::vector<std::string>()> listPorts;
    QString saveLocation;
    QStringList proposedNames;
    QString recordingFolder;
    QStringList offeredFolders;
    std::atomic<int> silentLeft{0};
    Gate gate;
    std::unique_ptr<sim::SupplySimulator> sim;
    std::unique_ptr<PowerModel> model;
};

}  // namespace test
}  // namespace varek

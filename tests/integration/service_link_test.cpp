// The identity guard and the poller over a real pseudo-terminal against the simulator.
#include <atomic>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "varek/device_worker.hpp"
#include "varek/poller.hpp"
#include "varek/serial_session.hpp"
#include "varek/sim/supply_simulator.hpp"
#include "varek_test_support.hpp"

namespace varek {
namespace {

using namespace std::chrono_literals;
using sim::SupplySimulator;

class GuardTest : public ::testing::Test {
protected:
    void SetUp() override {
        identity = session.connect(supply.path(), 115200, 1);
        session.guardIdentity(identity);
        session.setTransactionObserver([this](const SerialSession::TransactionOutcome& outcome) {
            std::lock_guard lock(mutex);
            outcomes.push_back(outcome);
        });
    }

    /// One timeout, then the supply answers again, as `serial`.
    void silenceThenAnswerAs(std::uint32_t serial) {
        supply.setSilent(true);
        expectTimeout([this] { session.sample(); });
        supply.setSerial(serial);
        supply.setSilent(false);
        supply.clearRequests();
    }

    static void expectTimeout(const std::function<void()>& action) {
        test::expectVarekError(action, VarekError::timeout());
    }

    SupplySimulator supply{sim::SimulatorOptions{.serial = 4242}};
    SerialSession session;
    DeviceIdentity identity;
    std::mutex mutex;
    std::vector<SerialSession::TransactionOutcome> outcomes;
};

TEST_F(GuardTest, AnotherSupplyAfterSilenceIsRefusedBeforeAnyWrite) {
    silenceThenAnswerAs(777);
    test::expectVarekError([this] { session.setOutput(true); }, VarekError::identityChanged());
    EXPECT_FALSE(session.isOpen());
    const auto requests = supply.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], test::identityRead);
    std::lock_guard lock(mutex);
    ASSERT_FALSE(outcomes.empty());
    ASSERT_TRUE(outcomes.back().found);
    EXPECT_EQ(outcomes.back().found->serial, 777u);
}

TEST_F(GuardTest, TheSameSupplyAfterSilenceIsServedAfterOneIdentityRead) {
    silenceThenAnswerAs(4242);
    EXPECT_TRUE(session.setOutput(true).outputEnabled);
    const auto requests = supply.requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], test::identityRead);
    EXPECT_EQ(test::writesAmong({requests[1]}).size(), 1u);
    // Proven once: the next operation goes straight to its own request.
    supply.clearRequests();
    session.sample();
    EXPECT_EQ(supply.requests(), std::vector<Bytes>{test::statusRead});
}

TEST_F(GuardTest, TheObserverSeesEachResult) {
    session.sample();
    supply.setSilent(true);
    expectTimeout([this] { session.sample(); });
    std::lock_guard lock(mutex);
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_FALSE(outcomes[0].error);
    EXPECT_EQ(outcomes[1].error, VarekError::timeout());
}

TEST(PollerTest, ReadsOncePerPeriodThroughTheWorkerAndStops) {
    SupplySimulator supply;
    SerialSession session;
    session.connect(supply.path(), 115200, 1);
    supply.clearRequests();
    DeviceWorker worker("VAREK.Device");
    std::atomic<int> samples{0};
    Poller poller(worker, session, 100ms, [&](const Poller::Result& result) {
        if (result.sample) ++samples;
    });
    ASSERT_TRUE(test::waitUntil([&] { return samples >= 5; }));
    poller.stop();
    const int seen = samples;
    // Every status read the supply received was handed over, and none starts after stop().
    EXPECT_EQ(supply.requestCount(), static_cast<std::size_t>(seen));
    worker.stop();
    EXPECT_EQ(supply.requestCount(), static_cast<std::size_t>(seen));
}

TEST(PollerTest, FailuresAreHandedOverTooAndAStoppedWorkerEndsPolling) {
    SupplySimulator supply;
    SerialSession session;
    session.connect(supply.path(), 115200, 1);
    supply.setSilent(true);
    DeviceWorker worker("VAREK.Device");
    std::mutex mutex;
    std::vector<VarekError> errors;
    Poller poller(worker, session, 100ms, [&](const Poller::Result& result) {
        std::lock_guard lock(mutex);
        if (result.error) errors.push_back(*result.error);
    });
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return !errors.empty();
    }));
    session.refuseTransactions();
    worker.stop();
    poller.stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(errors.front(), VarekError::timeout());
}

}  // namespace
}  // namespace varek

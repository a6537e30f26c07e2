#include "varek/device_worker.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "varek_test_support.hpp"

namespace varek {
namespace {

TEST(DeviceWorker, RunsJobsInOrderAndFailsQueuedOnesAtOnceOnStop) {
    std::mutex mutex;
    std::condition_variable changed;
    bool release = false;
    std::vector<std::string> events;
    auto record = [&](std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        changed.notify_all();
    };
    DeviceWorker worker("test-worker");
    ASSERT_TRUE(worker.post([&](bool run) {
        record(run ? "first runs" : "first refused");
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return release; });
    }));
    for (const char* name : {"second", "third"}) {
        ASSERT_TRUE(worker.post([&, name](bool run) { record(std::string(name) + (run ? " runs" : " refused")); }));
    }
    ASSERT_TRUE(test::waitUntil([&] {
        std::lock_guard lock(mutex);
        return !events.empty();
    }));
    EXPECT_EQ(worker.pending(), 3u);
    std::thread releaser([&] {
        // stop() must hand the queued jobs their refusal before it waits for the running one.
        test::waitUntil([&] {
            std::lock_guard lock(mutex);
            return events.size() == 3;
        });
        std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    });
    worker.stop();
    releaser.join();
    EXPECT_EQ(events, (std::vector<std::string>{"first runs", "second refused", "third refused"}));
    EXPECT_FALSE(worker.post([&](bool) { record("late"); }));
    EXPECT_EQ(worker.pending(), 0u);
}

TEST(DeviceWorker, AThrowingJobDoesNotStopTheNext) {
    DeviceWorker worker("test-worker");
    std::atomic<int> ran{0};
    worker.post([](bool) { throw std::runtime_error("job failed"); });
    worker.post([&](bool run) { ran += run ? 1 : 0; });
    ASSERT_TRUE(test::waitUntil([&] { return ran == 1; }));
}

}  // namespace
}  // namespace varek

#include "varek/output_request_queue.hpp"

#include <chrono>
#include <condition_variable>
#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace varek {
namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;
constexpr auto deadline = 60s;

ControlHTTPReply reply(int run) { return ControlHTTPReply(200, {{"ok", true}, {"run", run}}); }

/// A queue in front of a slow switching operation that records its starts and ends and holds
/// until released; each caller runs on a thread of its own.
struct Line {
    // A failed assertion must not leave callers blocked on an unreleased operation.
    ~Line() { release(); }

    OutputRequestQueue::Operation operation() {
        return [this](bool enabled) {
            const std::string state = enabled ? "on" : "off";
            std::unique_lock lock(mutex);
            const int run = started++;
            events.push_back("start " + state);
            overlapped = overlapped || ++running > 1;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            events.push_back("end " + state);
            --running;
            return reply(run);
        };
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
    void awaitStarted(int count) {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, deadline, [&] { return started >= count; }));
    }
    /// The recorded starts and ends; empty if two operations ever overlapped.
    Events recorded() {
        std::lock_guard lock(mutex);
        return overlapped ? Events{} : events;
    }
    /// Starts a caller and waits until `pending` callers have taken their place in line.
    std::shared_future<ControlHTTPReply> call(bool enabled, std::size_t pending) {
        callers.push_back(std::async(std::launch::async, [this, enabled] {
                              return queue.perform(enabled, operation());
                          }).share());
        const auto limit = std::chrono::steady_clock::now() + deadline;
        while (queue.pending() < pending && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_GE(queue.pending(), pending);
        return callers.back();
    }

    std::mutex mutex;
    std::condition_variable changed;
    Events events;
    int started = 0;
    int running = 0;
    bool released = false;
    bool overlapped = false;
    OutputRequestQueue queue;
    std::vector<std::shared_future<ControlHTTPReply>> callers;
};

TEST(OutputRequestQueue, RunsInArrivalOrderMergingOnlyWithTheNewestQueuedSameState) {
    const struct {
        std::vector<bool> states;
        std::vector<int> runs;
        Events events;
    } cases[] = {
        {{true, true}, {0, 0}, {"start on", "end on"}},
        {{true, false, true}, {0, 1, 2}, {"start on", "end on", "start off", "end off", "start on", "end on"}},
        {{true, false, false}, {0, 1, 1}, {"start on", "end on", "start off", "end off"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.states.size() * 10 + c.runs.back());
        Line line;
        for (std::size_t i = 0; i < c.states.size(); ++i) line.call(c.states[i], i + 1);
        line.release();
        for (std::size_t i = 0; i < c.runs.size(); ++i) EXPECT_EQ(line.callers[i].get(), reply(c.runs[i])) << i;
        EXPECT_EQ(line.recorded(), c.events);  // empty if operations overlapped
    }
}

TEST(OutputRequestQueue, CompletedRequestIsNotReused) {
    Line line;
    line.release();
    EXPECT_EQ(line.queue.perform(true, line.operation()), reply(0));
    EXPECT_EQ(line.queue.perform(true, line.operation()), reply(1));
    EXPECT_EQ(line.queue.pending(), 0u);
}

TEST(OutputRequestQueue, OppositeRequestStartsOnlyAfterTheSlowOneReturned) {
    Line line;
    line.call(true, 1);
    line.awaitStarted(1);
    const auto opposite = line.call(false, 2);
    EXPECT_EQ(line.recorded(), (Events{"start on"}));
    line.release();
    EXPECT_EQ(opposite.get(), reply(1));
    EXPECT_EQ(line.recorded(), (Events{"start on", "end on", "start off", "end off"}));
}

}  // namespace
}  // namespace varek

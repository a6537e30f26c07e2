#include "varek/output_request_queue.hpp"

#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace varek {
namespace {

using namespace std::chrono_literals;
constexpr auto deadline = 60s;

/// A slow switching operation: each run records its start and end and holds
/// until the test releases it, so tests decide when operations finish.
class FakeOutput {
public:
    OutputRequestQueue::Operation operation() {
        return [this](bool enabled) {
            const std::string state = enabled ? "on" : "off";
            std::unique_lock lock(mutex_);
            const int run = started_++;
            events_.push_back("start " + state);
            overlapped_ = overlapped_ || ++running_ > 1;
            changed_.notify_all();
            changed_.wait(lock, [&] { return released_ > run; });
            events_.push_back("end " + state);
            --running_;
            if (enabled && failOn_) throw std::runtime_error("device gone");
            return ControlHTTPReply(200, {{"ok", true}, {"run", run}});
        };
    }
    void release(int count = INT_MAX) {
        update([&] { released_ = count > INT_MAX - released_ ? INT_MAX : released_ + count; });
    }
    void failWhenOn() { update([&] { failOn_ = true; }); }
    void awaitStarted(int count) {
        std::unique_lock lock(mutex_);
        ASSERT_TRUE(changed_.wait_for(lock, deadline, [&] { return started_ >= count; }));
    }
    /// The recorded starts and ends; empty if two operations ever overlapped.
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return overlapped_ ? std::vector<std::string>{} : events_;
    }

private:
    template <typename F>
    void update(F change) {
        std::lock_guard lock(mutex_);
        change();
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
    int started_ = 0;
    int running_ = 0;
    int released_ = 0;
    bool overlapped_ = false;
    bool failOn_ = false;
};

/// One caller of perform on a thread of its own.
class Caller {
public:
    Caller(OutputRequestQueue& queue, bool enabled, OutputRequestQueue::Operation operation)
        : thread_([this, &queue, enabled, operation = std::move(operation)] {
              reply_.emplace(queue.perform(enabled, operation));
          }) {}
    ~Caller() {
        if (thread_.joinable()) thread_.join();
    }
    /// Joins the caller's thread, which publishes `reply_` to this one.
    ControlHTTPReply reply() {
        if (thread_.joinable()) thread_.join();
        return *reply_;
    }

private:
    std::optional<ControlHTTPReply> reply_;
    std::thread thread_;
};

/// Waits until `count` callers have taken their place in line.
void awaitPending(const OutputRequestQueue& queue, std::size_t count) {
    const auto limit = std::chrono::steady_clock::now() + deadline;
    while (queue.pending() < count && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(1ms);
    ASSERT_GE(queue.pending(), count);
}

int runOf(const ControlHTTPReply& reply) { return Json::parse(reply.body).at("run").get<int>(); }

using Events = std::vector<std::string>;

class OutputRequestQueueTest : public testing::Test {
protected:
    // A failed assertion must not leave callers blocked on an unreleased operation.
    ~OutputRequestQueueTest() override { output.release(); }

    /// Starts a caller and waits until `pending` callers have taken their place in line.
    Caller& call(bool enabled, std::size_t pending) {
        callers_.push_back(std::make_unique<Caller>(queue, enabled, output.operation()));
        awaitPending(queue, pending);
        return *callers_.back();
    }

    OutputRequestQueue queue;
    FakeOutput output;

private:
    std::vector<std::unique_ptr<Caller>> callers_;
};

TEST_F(OutputRequestQueueTest, SimultaneousSameStateRunsOnceAndSharesTheReply) {
    Caller& first = call(true, 1);
    Caller& second = call(true, 2);
    output.release();
    EXPECT_EQ(first.reply(), second.reply());
    EXPECT_EQ(output.events(), (Events{"start on", "end on"}));
}

TEST_F(OutputRequestQueueTest, AlternatingStatesRunInArrivalOrderWithoutOverlap) {
    Caller& on = call(true, 1);
    Caller& off = call(false, 2);
    Caller& onAgain = call(true, 3);
    output.release();
    EXPECT_EQ(runOf(on.reply()), 0);
    EXPECT_EQ(runOf(off.reply()), 1);
    EXPECT_EQ(runOf(onAgain.reply()), 2);
    EXPECT_EQ(output.events(), (Events{"start on", "end on", "start off", "end off", "start on", "end on"}));
}

TEST_F(OutputRequestQueueTest, MergesOnlyWithTheNewestQueuedRequest) {
    Caller& on = call(true, 1);
    Caller& off = call(false, 2);
    Caller& offAgain = call(false, 3);
    output.release();
    EXPECT_EQ(runOf(on.reply()), 0);
    EXPECT_EQ(runOf(off.reply()), 1);
    EXPECT_EQ(off.reply(), offAgain.reply());
    EXPECT_EQ(output.events(), (Events{"start on", "end on", "start off", "end off"}));
}

TEST_F(OutputRequestQueueTest, FinishedPredecessorDoesNotClearANewerTail) {
    Caller& on = call(true, 1);
    Caller& off = call(false, 2);
    output.release(1);
    output.awaitStarted(2);
    EXPECT_EQ(runOf(on.reply()), 0);
    Caller& offAgain = call(false, 2);
    output.release();
    EXPECT_EQ(off.reply(), offAgain.reply());
    EXPECT_EQ(output.events(), (Events{"start on", "end on", "start off", "end off"}));
}

TEST_F(OutputRequestQueueTest, CompletedRequestIsNotReused) {
    output.release();
    EXPECT_EQ(runOf(queue.perform(true, output.operation())), 0);
    EXPECT_EQ(runOf(queue.perform(true, output.operation())), 1);
    EXPECT_EQ(queue.pending(), 0u);
}

TEST_F(OutputRequestQueueTest, OppositeRequestStartsOnlyAfterTheSlowOneReturned) {
    call(true, 1);
    output.awaitStarted(1);
    Caller& opposite = call(false, 2);
    EXPECT_EQ(output.events(), (Events{"start on"}));
    output.release();
    EXPECT_EQ(runOf(opposite.reply()), 1);
    EXPECT_EQ(output.events(), (Events{"start on", "end on", "start off", "end off"}));
}

TEST_F(OutputRequestQueueTest, ThrowingOperationStillAnswersEveryWaiter) {
    output.failWhenOn();
    Caller& first = call(true, 1);
    Caller& merged = call(true, 2);
    output.release();
    const ControlHTTPReply failed(502, {{"ok", false}});
    EXPECT_EQ(first.reply(), failed);
    EXPECT_EQ(merged.reply(), failed);
    EXPECT_EQ(runOf(queue.perform(false, output.operation())), 1) << "the line moves on after a failure";
}

}  // namespace
}  // namespace varek

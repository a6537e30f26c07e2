#include "varek/output_request_queue.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace varek {
namespace {

using Outcome = OutputRequestQueue::Outcome;

PowerSample sampleOf(bool enabled, int run) {
    PowerSample sample;
    sample.outputEnabled = enabled;
    sample.voltage = run;  // tells runs apart
    return sample;
}

/// A queue whose operations are finished by hand, so every interleaving is the test's choice.
struct Line {
    struct Started {
        bool enabled;
        OutputRequestQueue::Predicate wanted;
        OutputRequestQueue::Done finished;
    };
    struct Caller {
        std::shared_ptr<std::atomic<bool>> gone = std::make_shared<std::atomic<bool>>(false);
        std::vector<Outcome> outcomes;
    };

    OutputRequestQueue::Operation operation() {
        return [this](bool enabled, OutputRequestQueue::Predicate wanted, OutputRequestQueue::Done finished) {
            started.push_back({enabled, std::move(wanted), std::move(finished)});
        };
    }
    Caller& call(bool enabled) {
        callers.push_back(std::make_unique<Caller>());
        Caller& caller = *callers.back();
        queue.perform(enabled, operation(), [gone = caller.gone] { return gone->load(); },
                      [&caller](const Outcome& outcome) { caller.outcomes.push_back(outcome); });
        return caller;
    }
    /// Finishes the operation started `index`-th with a confirmed sample.
    void finish(std::size_t index) {
        auto done = started.at(index).finished;
        done({sampleOf(started[index].enabled, static_cast<int>(index)), std::nullopt});
    }
    /// The run that answered `caller`, or -1.
    int runOf(const Caller& caller) const {
        if (caller.outcomes.size() != 1 || !caller.outcomes[0].sample) return -1;
        return static_cast<int>(caller.outcomes[0].sample->voltage);
    }

    OutputRequestQueue queue;
    std::vector<Started> started;
    std::vector<std::unique_ptr<Caller>> callers;
};

TEST(OutputRequestQueue, RunsOneAtATimeInArrivalOrderMergingWithTheNewestSameState) {
    const struct {
        const char* name;
        std::vector<bool> states;
        std::vector<bool> runs;  // the states of the operations that ran, in order
        std::vector<int> answers;  // which run answered each caller
    } cases[] = {
        {"same state twice", {true, true}, {true}, {0, 0}},
        {"alternating", {true, false, true}, {true, false, true}, {0, 1, 2}},
        {"merge with the queued, not the running", {true, false, false}, {true, false}, {0, 1, 1}},
        {"a same state behind an opposite one runs again", {true, false, true, true}, {true, false, true}, {0, 1, 2, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Line line;
        for (bool state : c.states) line.call(state);
        // Only the first has started: the others wait for it.
        ASSERT_EQ(line.started.size(), 1u);
        for (std::size_t i = 0; i < c.runs.size(); ++i) {
            ASSERT_EQ(line.started.size(), i + 1);
            EXPECT_EQ(line.started[i].enabled, c.runs[i]);
            line.finish(i);
        }
        EXPECT_EQ(line.started.size(), c.runs.size());
        for (std::size_t i = 0; i < c.answers.size(); ++i) EXPECT_EQ(line.runOf(*line.callers[i]), c.answers[i]) << i;
        EXPECT_EQ(line.queue.pending(), 0u);
    }
}

TEST(OutputRequestQueue, FinishedRequestIsNotReusedAndErrorsReachEveryMergedCaller) {
    Line line;
    auto& first = line.call(true);
    auto& merged = line.call(true);
    line.started[0].finished({std::nullopt, VarekError::timeout()});
    for (auto* caller : {&first, &merged}) {
        ASSERT_EQ(caller->outcomes.size(), 1u);
        EXPECT_EQ(caller->outcomes[0].error, VarekError::timeout());
    }
    line.call(true);
    EXPECT_EQ(line.started.size(), 2u);
    line.finish(1);
    // A second finish of one operation changes nothing.
    line.finish(1);
    EXPECT_EQ(line.callers[2]->outcomes.size(), 1u);
}

TEST(OutputRequestQueue, RequestsWhoseCallersHaveGoneAreDroppedBeforeTheyRun) {
    Line line;
    line.call(true);
    auto& goneAlone = line.call(false);
    auto& goneMerged = line.call(true);
    auto& stillWaiting = line.call(true);
    *goneAlone.gone = true;
    *goneMerged.gone = true;
    line.finish(0);
    // "off" had nobody left, so the next to run is "on", which one caller still wants.
    ASSERT_EQ(line.started.size(), 2u);
    EXPECT_TRUE(line.started[1].enabled);
    EXPECT_TRUE(line.started[1].wanted());
    *stillWaiting.gone = true;
    EXPECT_FALSE(line.started[1].wanted());  // checked again right before the device
    line.finish(1);
    EXPECT_TRUE(goneAlone.outcomes.empty());
    EXPECT_EQ(line.queue.pending(), 0u);
}

TEST(OutputRequestQueue, ThrowingOperationStillAnswersItsCallers) {
    OutputRequestQueue queue;
    int answered = 0;
    for (int i = 0; i < 2; ++i) {
        queue.perform(
            true, [](bool, OutputRequestQueue::Predicate, OutputRequestQueue::Done) { throw std::runtime_error("x"); },
            [] { return false; }, [&answered](const Outcome& outcome) { answered += outcome.error ? 1 : 0; });
    }
    EXPECT_EQ(answered, 2);
}

// Callers on many threads, operations finished on another: every caller is answered once
// and operations never overlap (run under ThreadSanitizer too).
TEST(OutputRequestQueue, ConcurrentCallersAndFinishers) {
    OutputRequestQueue queue;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> toFinish;
    int running = 0;
    bool overlapped = false;
    std::atomic<int> answered{0};
    bool callersDone = false;
    auto operation = [&](bool enabled, OutputRequestQueue::Predicate, OutputRequestQueue::Done finished) {
        std::lock_guard lock(mutex);
        overlapped = overlapped || ++running > 1;
        toFinish.push_back([&, enabled, finished] {
            {
                std::lock_guard inner(mutex);
                --running;
            }
            finished({sampleOf(enabled, 0), std::nullopt});
        });
        changed.notify_all();
    };
    std::thread finisher([&] {
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !toFinish.empty() || (callersDone && queue.pending() == 0); });
            if (toFinish.empty()) return;
            auto next = std::move(toFinish.front());
            toFinish.pop_front();
            lock.unlock();
            next();
            lock.lock();
        }
    });
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                queue.perform((i + t) % 2 == 0, operation, [] { return false; }, [&](const Outcome&) { ++answered; });
            }
        });
    }
    for (auto& caller : callers) caller.join();
    {
        std::lock_guard lock(mutex);
        callersDone = true;
        changed.notify_all();
    }
    finisher.join();
    EXPECT_EQ(answered.load(), 200);
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(queue.pending(), 0u);
}

}  // namespace
}  // namespace varek

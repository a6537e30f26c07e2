#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "varek/error.hpp"
#include "varek/listener.hpp"

namespace varek::test {

/// Runs `action` and expects it to throw a VarekError equal to `expected`.
inline void expectVarekError(const std::function<void()>& action, const VarekError& expected) {
    try {
        action();
        ADD_FAILURE() << "no error; expected: " << expected.description();
    } catch (const VarekError& error) {
        EXPECT_EQ(error, expected) << "got: " << error.description();
    }
}

/// The VarekError `action` throws; fails the test and returns `timeout` when none is thrown.
inline VarekError caughtVarekError(const std::function<void()>& action) {
    try {
        action();
    } catch (const VarekError& error) {
        return error;
    }
    ADD_FAILURE() << "no error thrown";
    return VarekError::timeout();
}

/// Polls `condition` until it holds or `limit` passes; the last result.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

/// Calls `start` with a listener callback and returns the first event it reports.
inline ListenerEvent firstListenerEvent(const std::function<void(ListenerCallback)>& start) {
    auto promise = std::make_shared<std::promise<ListenerEvent>>();
    auto once = std::make_shared<std::once_flag>();
    auto future = promise->get_future();
    start([promise, once](const ListenerEvent& event) { std::call_once(*once, [&] { promise->set_value(event); }); });
    return future.get();
}

}  // namespace varek::test

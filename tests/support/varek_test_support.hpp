#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "varek/device.hpp"
#include "varek/error.hpp"
#include "varek/listener.hpp"
#include "varek/protocol.hpp"

namespace varek::test {

/// The status block read and the identity read of station 1, as the session sends them.
inline const Bytes statusRead = Modbus::read(1, PowerSample::start, PowerSample::count);
inline const Bytes identityRead = Modbus::read(1, DeviceIdentity::start, DeviceIdentity::count);

/// The frames among `frames` that write (0x06 or 0x10).
inline std::vector<Bytes> writesAmong(const std::vector<Bytes>& frames) {
    std::vector<Bytes> writes;
    for (const Bytes& frame : frames) {
        if (frame.size() > 1 && (frame[1] == Modbus::writeSingle || frame[1] == Modbus::writeMultiple)) {
            writes.push_back(frame);
        }
    }
    return writes;
}

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

/// The listening socket of this process bound to `port`, found by its address (the
/// servers keep theirs to themselves), or -1. A test breaks a listener through it.
inline int listeningSocket(std::uint16_t port) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::stoi(entry.path().filename().string());
        int listening = 0;
        socklen_t size = sizeof listening;
        sockaddr_in address{};
        socklen_t length = sizeof address;
        if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 && address.sin_family == AF_INET &&
            ntohs(address.sin_port) == port) {
            return fd;
        }
    }
    return -1;
}

}  // namespace varek::test

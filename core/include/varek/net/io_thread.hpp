#pragma once

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

namespace varek::net {

/// An io_context run by one named thread of its own: the serial queue that a
/// server's listener and connections live on.
class IoThread {
public:
    /// Starts the thread, named `name` (cut to the 15 bytes Linux allows).
    explicit IoThread(const std::string& name);
    /// join().
    ~IoThread();
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    asio::io_context& context() noexcept { return io_; }
    asio::io_context::executor_type executor() noexcept { return io_.get_executor(); }
    bool onThisThread() noexcept { return io_.get_executor().running_in_this_thread(); }

    /// Runs `task` on the io thread and returns its result (or rethrows its
    /// exception); inline when already there. Not after join().
    template <typename Task>
    auto call(Task task) -> std::invoke_result_t<Task> {
        using Result = std::invoke_result_t<Task>;
        if (onThisThread()) return task();
        auto packaged = std::make_shared<std::packaged_task<Result()>>(std::move(task));
        auto result = packaged->get_future();
        // Wrapped: Asio would treat a bare packaged_task as a completion token.
        asio::post(io_, [packaged] { (*packaged)(); });
        return result.get();
    }

    /// Stops the io thread and waits for it; handlers still pending are destroyed
    /// with the context, not run. Idempotent; not from the io thread itself.
    void join();

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

}  // namespace varek::net

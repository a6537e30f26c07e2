#include "varek/net/io_thread.hpp"

#include "varek/platform.hpp"

namespace varek::net {

IoThread::IoThread(const std::string& name) : work_(io_.get_executor()) {
    thread_ = std::thread([this, name] {
        platform::nameThisThread(name);
        for (;;) {
            try {
                io_.run();
                return;
            } catch (...) {
                // One failing completion handler must not take the server's thread down.
            }
        }
    });
}

IoThread::~IoThread() { join(); }

void IoThread::join() {
    if (!thread_.joinable()) return;
    work_.reset();
    // Connections may keep handlers pending (timers, reads); the owner has closed
    // them, so what is left completes with operation_aborted and the loop ends.
    io_.stop();
    thread_.join();
}

}  // namespace varek::net

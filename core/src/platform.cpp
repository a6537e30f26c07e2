#include "varek/platform.hpp"

#include <cstdlib>
#include <cerrno>

#if defined(__APPLE__)
#include <stdlib.h>
#else
#include <pthread.h>
#include <sys/random.h>
#endif
#include <signal.h>

namespace varek::detail {
extern const char* const buildRevision;
}

namespace varek::platform {

std::filesystem::path applicationSupportDirectory() {
    const char* home = std::getenv("HOME");
#if defined(__APPLE__)
    return std::filesystem::path(home ? home : "") / "Library" / "Application Support";
#else
    if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data == '/') return data;
    return std::filesystem::path(home ? home : "") / ".local" / "share";
#endif
}

bool secureRandom(std::span<std::byte> out) noexcept {
#if defined(__APPLE__)
    arc4random_buf(out.data(), out.size());
    return true;
#else
    std::size_t filled = 0;
    while (filled < out.size()) {
        const ssize_t n = getrandom(out.data() + filled, out.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        filled += static_cast<std::size_t>(n);
    }
    return true;
#endif
}

std::string sourceSHA() {
    const char* revision = detail::buildRevision;
    return revision && *revision ? revision : "development";
}

void nameThisThread(const std::string& name) noexcept {
    const std::string cut = name.substr(0, 15);
#if defined(__APPLE__)
    pthread_setname_np(cut.c_str());
#else
    pthread_setname_np(pthread_self(), cut.c_str());
#endif
}

namespace {

sigset_t shutdownSignals() noexcept {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void blockShutdownSignals() noexcept {
    const sigset_t set = shutdownSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int waitForShutdownSignal() noexcept {
    const sigset_t set = shutdownSignals();
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
    return signal;
}

}  // namespace varek::platform

// What the desktop benchmarks read of their own process. The calling thread's CPU time
// shows the GUI thread's own work on a shared machine, where wall time also counts the
// waits for a core.
#pragma once

#include <time.h>

#include <fstream>
#include <string>

namespace varek::bench {

/// CPU time of the calling thread, in seconds.
inline double threadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

/// Resident memory of this process in KiB, or -1 when /proc does not say.
inline long rssKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

}  // namespace varek::bench

// The device-bound ceiling of the status route: bare sample() calls per second
// over one serial session, back to back, for a fixed time.
//   sample_rate_tool <serial-path> [seconds]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "varek/serial_session.hpp"

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: sample_rate_tool <serial-path> [seconds]\n");
        return 2;
    }
    const double seconds = argc == 3 ? std::atof(argv[2]) : 5.0;
    varek::SerialSession session;
    try {
        session.connect(argv[1], 115200, 1);
        using Clock = std::chrono::steady_clock;
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration<double>(seconds);
        long samples = 0;
        while (Clock::now() < end) {
            session.sample();
            ++samples;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        std::printf("{\"samples\": %ld, \"seconds\": %.3f, \"samples_per_second\": %.1f}\n", samples,
                    elapsed, samples / elapsed);
        session.disconnect();
        return 0;
    } catch (const std::exception& error) {
        session.disconnect();
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
}

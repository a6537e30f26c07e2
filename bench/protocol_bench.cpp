// Frame-level costs: CRC over the frame sizes the system sends and receives, and
// cutting a reply out of a buffer that starts with line noise.
#include <benchmark/benchmark.h>

#include <vector>

#include "varek/protocol.hpp"

namespace {

using varek::Bytes;

void BM_Crc(benchmark::State& state) {
    const Bytes bytes(static_cast<std::size_t>(state.range(0)), 0xA5);
    for (auto _ : state) benchmark::DoNotOptimize(varek::Modbus::crc(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
// 8: a read request; 89: the status transaction (8 out, 81 back); 255: the largest write.
BENCHMARK(BM_Crc)->Arg(8)->Arg(89)->Arg(255);

/// Noise that never looks like the start of a station-1 reply, then the status reply.
Bytes noisyStatusReply(std::size_t noise) {
    Bytes stream;
    for (std::size_t i = 0; i < noise; ++i) stream.push_back(static_cast<std::uint8_t>(0x40 + i % 64));
    Bytes body{1, 0x03, 76};
    body.resize(3 + 76, 0x11);
    const Bytes reply = varek::Modbus::framed(body);
    stream.insert(stream.end(), reply.begin(), reply.end());
    return stream;
}

void BM_FrameBufferResync(benchmark::State& state) {
    const Bytes stream = noisyStatusReply(static_cast<std::size_t>(state.range(0)));
    const std::size_t chunk = static_cast<std::size_t>(state.range(1));
    for (auto _ : state) {
        varek::FrameBuffer buffer;
        std::optional<Bytes> frame;
        for (std::size_t at = 0; at < stream.size() && !frame; at += chunk) {
            buffer.append(varek::ByteView(stream).subspan(at, std::min(chunk, stream.size() - at)));
            frame = buffer.next(1, 0x03);
        }
        if (!frame) state.SkipWithError("reply not found");
        benchmark::DoNotOptimize(frame);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * stream.size()));
}
// Noise length x read size: a clean reply in one read, and noisy lines read in 32 or 512 bytes.
BENCHMARK(BM_FrameBufferResync)->Args({0, 512})->Args({64, 32})->Args({1024, 32})->Args({4000, 512});

}  // namespace

BENCHMARK_MAIN();

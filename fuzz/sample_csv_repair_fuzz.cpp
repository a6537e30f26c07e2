// Arbitrary bytes as a recording file left by a crash: the repair must keep exactly
// the whole lines, whatever the file holds.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "varek/sample_csv.hpp"
#include "varek/sample_recorder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = "/tmp/varek-repair-fuzz-" + std::to_string(::getpid()) + ".csv";
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(input.data(), static_cast<std::streamsize>(size));
    const auto kept = varek::SampleRecorder::repair(path);
    std::ifstream in(path, std::ios::binary);
    std::stringstream after;
    after << in.rdbuf();
    const std::string text = after.str();
    if (kept != text.size() || kept != varek::SampleCsv::wholeLines(input)) __builtin_trap();
    if (input.substr(0, kept) != text) __builtin_trap();
    if (!text.empty() && text.back() != '\n') __builtin_trap();
    return 0;
}

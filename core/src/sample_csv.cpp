#include "varek/sample_csv.hpp"

#include "varek/format.hpp"

namespace varek::SampleCsv {

std::string row(const PowerSample& s) {
    std::string out = iso8601Millis(s.time);
    out.reserve(96);
    for (const double value : {s.voltage, s.current, s.power, s.voltageSet, s.currentSet}) {
        out += ',';
        out += formatShortest(value);
    }
    out += s.outputEnabled ? ",true," : ",false,";
    out += std::to_string(s.protection);
    out += ',';
    out += std::to_string(s.mode);
    out += '\n';
    return out;
}

std::string document(const std::vector<PowerSample>& samples) {
    std::string out(header);
    out.reserve(out.size() + samples.size() * 80);
    for (const auto& sample : samples) out += row(sample);
    return out;
}

std::size_t wholeLines(std::string_view text) noexcept {
    const auto last = text.rfind('\n');
    return last == std::string_view::npos ? 0 : last + 1;
}

}  // namespace varek::SampleCsv

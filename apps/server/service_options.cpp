#include "service_options.hpp"

#include <arpa/inet.h>

#include <charconv>

#include "varek/poller.hpp"

namespace varek {
namespace {

/// Plain decimal digits within [low, high], one optional leading '+'.
std::optional<long> number(std::string_view text, long low, long high) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return {};
    long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return {};
    return value;
}

bool dottedQuad(std::string_view text) {
    in_addr parsed{};
    return ::inet_pton(AF_INET, std::string(text).c_str(), &parsed) == 1;
}

}  // namespace

std::optional<bool> applyServiceOption(ServiceOptions& options, std::string_view name, std::string_view value) {
    if (name == "--bind") {
        if (!dottedQuad(value)) return false;
        options.bindAddress = value;
    } else if (name == "--poll") {
        const auto hertz = number(value, 1, 10);
        if (!hertz || !Poller::validRate(static_cast<int>(*hertz))) return false;
        options.pollHertz = static_cast<int>(*hertz);
    } else if (name == "--record") {
        if (value.empty()) return false;
        options.recordDirectory = std::filesystem::path(value);
    } else if (name == "--record-days") {
        const auto days = number(value, 1, 100000);
        if (!days) return false;
        options.recordDays = static_cast<int>(*days);
    } else if (name == "--metrics-port") {
        const auto port = number(value, 1, 65535);
        if (!port) return false;
        options.metricsPort = static_cast<std::uint16_t>(*port);
    } else {
        return std::nullopt;
    }
    return true;
}

}  // namespace varek

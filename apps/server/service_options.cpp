#include "service_options.hpp"

#include <arpa/inet.h>

#include "varek/option_number.hpp"
#include "varek/poller.hpp"

namespace varek {
namespace {

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
        const auto hertz = optionNumber(value, 1, 10);
        if (!hertz || !Poller::validRate(static_cast<int>(*hertz))) return false;
        options.pollHertz = static_cast<int>(*hertz);
    } else if (name == "--record") {
        if (value.empty()) return false;
        options.recordDirectory = std::filesystem::path(value);
    } else if (name == "--record-days") {
        const auto days = optionNumber(value, 1, 100000);
        if (!days) return false;
        options.recordDays = static_cast<int>(*days);
    } else if (name == "--metrics-port") {
        const auto port = optionNumber(value, 1, 65535);
        if (!port) return false;
        options.metricsPort = static_cast<std::uint16_t>(*port);
    } else {
        return std::nullopt;
    }
    return true;
}

}  // namespace varek

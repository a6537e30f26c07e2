// Feeds arbitrary bytes to the control API's request parser, whole and in the
// growing prefixes a connection would see, and checks the parser's promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "varek/error.hpp"
#include "varek/http.hpp"

namespace {

std::optional<varek::ControlHTTPRequest> parseOrNothing(std::string_view bytes, bool& failed) {
    failed = false;
    try {
        return varek::ControlHTTPRequest::parse(bytes);
    } catch (const varek::VarekError& error) {
        if (error.kind() != varek::VarekError::Case::invalid) std::abort();
        failed = true;
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    bool failed = false;
    const auto request = parseOrNothing(bytes, failed);
    if (request) {
        if (request->bytesConsumed < 4 || static_cast<std::size_t>(request->bytesConsumed) > size) std::abort();
        // Extra bytes after a request never change it, up to the buffer limit.
        const auto again = parseOrNothing(bytes.substr(0, static_cast<std::size_t>(request->bytesConsumed)), failed);
        if (!again || again->method != request->method || again->path != request->path) std::abort();
        const std::string_view token = bytes.substr(0, size % 80);
        const bool expected = request->authorization == "Bearer " + std::string(token);
        if (request->authenticated(token) != expected) std::abort();
    } else if (!failed && size > varek::ControlHTTPRequest::headerLimit + 4 + varek::ControlHTTPRequest::bodyLimit) {
        std::abort();  // a prefix that can never complete must have been refused
    }
    return 0;
}

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "varek/json.hpp"

namespace varek {

/// One HTTP/1.x request as the control API needs it. Pure, socket-free.
struct ControlHTTPRequest {
    static constexpr std::size_t bufferLimit = 12288;
    static constexpr std::size_t headerLimit = 8192;
    static constexpr std::int64_t bodyLimit = 4096;

    std::string method;
    std::string path;
    std::optional<std::string> authorization;
    /// The Content-Length bytes after the headers (at most bodyLimit); empty without one.
    std::string body;
    std::int64_t bytesConsumed = 0;

    /// A request, nothing (a valid prefix: need more bytes), or a thrown
    /// VarekError::invalid when no further bytes can make `buffer` acceptable.
    static std::optional<ControlHTTPRequest> parse(std::string_view buffer);
    /// authorization == "Bearer " + token, compared in constant time.
    bool authenticated(std::string_view token) const noexcept;
};

/// A JSON reply and its exact wire image.
struct ControlHTTPReply {
    int status = 200;
    std::string body;

    /// Compact JSON with sorted keys and "/" written as "\/"; `{"ok":false}`
    /// when `object` cannot be serialised.
    ControlHTTPReply(int status, const Json& object);

    /// Status line, the four fixed headers, blank line, body.
    std::string wire() const;
    /// "OK", "Accepted", "Bad Request", ..., "Conflict", and "Bad Gateway" for any other status.
    static std::string_view reasonPhrase(int status) noexcept;

    friend bool operator==(const ControlHTTPReply&, const ControlHTTPReply&) = default;
};

/// A file of the built-in page (or its 404) and its exact wire image. Kept apart from
/// ControlHTTPReply, whose four headers are fixed for every API reply.
struct StaticHTTPReply {
    /// Same origin only, and no inline script or style.
    static constexpr std::string_view contentSecurityPolicy =
        "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
        "object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

    int status = 200;
    std::string_view contentType;
    std::string_view body;

    /// Status line, Content-Type, Content-Length, Content-Security-Policy,
    /// X-Content-Type-Options, Cache-Control, Connection: close, blank line, body.
    std::string wire() const;
    /// The content type of a file name by its extension; "application/octet-stream" for others.
    static std::string_view contentTypeFor(std::string_view name) noexcept;
};

/// Compact JSON text with every "/" written as "\/"; throws on invalid UTF-8.
std::string apiJson(const Json& object);

}  // namespace varek

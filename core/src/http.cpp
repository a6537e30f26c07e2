#include "varek/http.hpp"

#include <map>
#include <string>
#include <vector>

#include "varek/error.hpp"

namespace varek {
namespace {

constexpr std::string_view separator = "\r\n\r\n";

[[noreturn]] void reject(const char* message) { throw VarekError::invalid(message); }

/// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool validUtf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        std::size_t extra = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= extra) return false;
        if (p[1] < low || p[1] > high) return false;
        for (std::size_t i = 2; i <= extra; ++i) {
            if (p[i] < 0x80 || p[i] > 0xBF) return false;
        }
        p += extra + 1;
    }
    return true;
}

std::string_view trimSpacesAndTabs(std::string_view text) noexcept {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::vector<std::string_view> splitLines(std::string_view block) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (;;) {
        const auto at = block.find("\r\n", start);
        if (at == std::string_view::npos) {
            lines.push_back(block.substr(start));
            return lines;
        }
        lines.push_back(block.substr(start, at - start));
        start = at + 2;
    }
}

std::vector<std::string_view> splitAtSpaces(std::string_view line) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start < line.size()) {
        const auto at = line.find(' ', start);
        const auto stop = at == std::string_view::npos ? line.size() : at;
        if (stop > start) pieces.push_back(line.substr(start, stop - start));
        start = stop + 1;
    }
    return pieces;
}

using HeaderTable = std::map<std::string, std::string_view, std::less<>>;

HeaderTable readHeaders(const std::vector<std::string_view>& lines) {
    HeaderTable table;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const auto line = lines[i];
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) reject("invalid header");
        std::string name = asciiLower(line.substr(0, colon));
        if (name.empty() || table.contains(name)) reject("duplicate header");
        table.emplace(std::move(name), trimSpacesAndTabs(line.substr(colon + 1)));
    }
    return table;
}

/// A signed decimal with an optional single sign; only 0...bodyLimit is accepted,
/// so anything larger (including values beyond 64 bits) fails the same way.
std::int64_t bodyLength(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) reject("invalid body length");
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') reject("invalid body length");
        if (value <= ControlHTTPRequest::bodyLimit) value = value * 10 + (c - '0');
    }
    if ((negative && value != 0) || value > ControlHTTPRequest::bodyLimit) reject("invalid body length");
    return value;
}

}  // namespace

std::optional<ControlHTTPRequest> ControlHTTPRequest::parse(std::string_view buffer) {
    if (buffer.size() > bufferLimit) reject("request too large");
    const auto separatorAt = buffer.find(separator);
    if (separatorAt == std::string_view::npos) {
        if (buffer.size() > headerLimit) reject("headers too large");
        return std::nullopt;
    }
    const auto block = buffer.substr(0, separatorAt);
    if (block.size() > headerLimit || !validUtf8(block)) reject("invalid headers");

    const auto lines = splitLines(block);
    const auto requestLine = splitAtSpaces(lines.front());
    if (requestLine.size() != 3 || (requestLine[2] != "HTTP/1.1" && requestLine[2] != "HTTP/1.0")) {
        reject("invalid request line");
    }
    const HeaderTable headers = readHeaders(lines);

    std::string_view lengthText = "0";
    if (!headers.empty()) {
        if (headers.contains("transfer-encoding")) reject("chunked requests unsupported");
        if (const auto it = headers.find("content-length"); it != headers.end()) lengthText = it->second;
    }
    const auto bodyStart = static_cast<std::int64_t>(separatorAt + separator.size());
    const std::int64_t end = bodyStart + bodyLength(lengthText);
    if (static_cast<std::int64_t>(buffer.size()) < end) return std::nullopt;

    ControlHTTPRequest request;
    request.method = std::string(requestLine[0]);
    request.path = std::string(requestLine[1]);
    if (const auto it = headers.find("authorization"); it != headers.end()) {
        request.authorization = std::string(it->second);
    }
    request.body = std::string(buffer.substr(static_cast<std::size_t>(bodyStart),
                                             static_cast<std::size_t>(end - bodyStart)));
    request.bytesConsumed = end;
    return request;
}

bool ControlHTTPRequest::authenticated(std::string_view token) const noexcept {
    constexpr std::string_view scheme = "Bearer ";
    const std::string_view actual = authorization ? std::string_view(*authorization) : std::string_view();
    if (actual.size() != scheme.size() + token.size()) return false;
    // Every byte is compared, so the time taken does not reveal where a guess goes wrong.
    unsigned difference = 0;
    for (std::size_t i = 0; i < actual.size(); ++i) {
        const char expected = i < scheme.size() ? scheme[i] : token[i - scheme.size()];
        difference |= static_cast<unsigned char>(actual[i] ^ expected);
    }
    return difference == 0;
}

std::string apiJson(const Json& object) {
    const std::string compact = object.dump();
    std::string out;
    out.reserve(compact.size() + 8);
    for (const char c : compact) {
        // A compact dump has no "/" outside strings, so escaping every one is safe.
        if (c == '/') out += '\\';
        out += c;
    }
    return out;
}

ControlHTTPReply::ControlHTTPReply(int status, const Json& object) : status(status) {
    try {
        body = apiJson(object);
    } catch (const std::exception&) {
        body = R"({"ok":false})";
    }
}

std::string ControlHTTPReply::wire() const {
    std::string out;
    out.reserve(160 + body.size());
    out += "HTTP/1.1 ";
    out += std::to_string(status);
    out += ' ';
    out += reasonPhrase(status);
    out += "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: ";
    out += std::to_string(body.size());
    out += "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

std::string StaticHTTPReply::wire() const {
    std::string out;
    out.reserve(512 + body.size());
    out += "HTTP/1.1 ";
    out += std::to_string(status);
    out += ' ';
    out += ControlHTTPReply::reasonPhrase(status);
    out += "\r\nContent-Type: ";
    out += contentType;
    out += "\r\nContent-Length: ";
    out += std::to_string(body.size());
    out += "\r\nContent-Security-Policy: ";
    out += contentSecurityPolicy;
    // The page changes with the program; a browser must not keep an old one.
    out += "\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
    out += body;
    return out;
}

std::string_view StaticHTTPReply::contentTypeFor(std::string_view name) noexcept {
    const auto dot = name.rfind('.');
    const std::string_view extension = dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
    if (extension == "html") return "text/html; charset=utf-8";
    if (extension == "js") return "text/javascript; charset=utf-8";
    if (extension == "css") return "text/css; charset=utf-8";
    if (extension == "svg") return "image/svg+xml";
    if (extension == "png") return "image/png";
    if (extension == "ico") return "image/x-icon";
    return "application/octet-stream";
}

std::string_view ControlHTTPReply::reasonPhrase(int status) noexcept {
    switch (status) {
        case 200: return "OK";
        case 202: return "Accepted";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 409: return "Conflict";
        case 503: return "Service Unavailable";
        default: return "Bad Gateway";
    }
}

}  // namespace varek

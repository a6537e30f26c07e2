#include "varek/http.hpp"

#include <gtest/gtest.h>

#include "varek/error.hpp"

namespace varek {
namespace {

enum class Outcome { request, needMore, failure };

std::string head(std::string lines) { return lines + "\r\n\r\n"; }
std::string padded(std::size_t blockSize) {
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    return start + std::string(blockSize - start.size(), 'a');
}

TEST(HttpRequest, ParseOutcomes) {
    const struct {
        std::string input;
        Outcome outcome;
        std::string expected;  // failure message, or "METHOD PATH" for a request
        std::int64_t consumed = 0;
    } cases[] = {
        {head("GET /health HTTP/1.1"), Outcome::request, "GET /health", 24},
        {"GET /health HTTP/1.1\r\n\r", Outcome::needMore, ""},
        // Request line: only 0x20 separates tokens, and runs of it count as one.
        {head("GET   /health  HTTP/1.1"), Outcome::request, "GET /health", 27},
        {head(" GET /health HTTP/1.1  "), Outcome::request, "GET /health", 27},
        {head("get /Health?a=%41 HTTP/1.0"), Outcome::request, "get /Health?a=%41", 30},
        {"\r\n\r\n", Outcome::failure, "invalid request line"},
        {head("GET /x HTTP/2"), Outcome::failure, "invalid request line"},
        {head("GET /x http/1.1"), Outcome::failure, "invalid request line"},
        {head("GET /x"), Outcome::failure, "invalid request line"},
        {head("GET /x HTTP/1.1 more"), Outcome::failure, "invalid request line"},
        {head("GET\t/x HTTP/1.1"), Outcome::failure, "invalid request line"},
        // A bare LF does not end the request line, so the header joins it.
        {head("GET /x HTTP/1.1\nHost: a"), Outcome::failure, "invalid request line"},
        {head("GET / HTTP/1.1\r\nHost: a\r\nhOST: b"), Outcome::failure, "duplicate header"},
        {head("GET / HTTP/1.1\r\n: a"), Outcome::failure, "duplicate header"},
        {head("GET / HTTP/1.1\r\nHost a"), Outcome::failure, "invalid header"},
        // A space before the colon belongs to the name, so these are two headers.
        {head("GET / HTTP/1.1\r\nHost : a\r\nHost: b"), Outcome::request, "GET /", 37},
        {head("GET / HTTP/1.1\r\nX: \xc0\xaf"), Outcome::failure, "invalid headers"},  // overlong UTF-8
        {head("GET / HTTP/1.1\r\nTransfer-Encoding: chunked"), Outcome::failure, "chunked requests unsupported"},
        {head("POST / HTTP/1.1\r\nContent-Length: 2\r\ntransfer-encoding: identity") + "ab", Outcome::failure,
         "chunked requests unsupported"},
        {head("GET /a HTTP/1.1") + head("GET /b HTTP/1.1"), Outcome::request, "GET /a", 19},
        {std::string(8192, 'a'), Outcome::needMore, ""},
        {std::string(8193, 'a'), Outcome::failure, "headers too large"},
        {head(padded(8192)), Outcome::request, "GET /", 8196},
        {head(padded(8193)), Outcome::failure, "invalid headers"},
        {head("GET / HTTP/1.1") + std::string(12288 - 18, 'x'), Outcome::request, "GET /", 18},
        {head("GET / HTTP/1.1") + std::string(12289 - 18, 'x'), Outcome::failure, "request too large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.substr(0, 40));
        try {
            const auto request = ControlHTTPRequest::parse(c.input);
            ASSERT_NE(c.outcome, Outcome::failure) << "expected failure " << c.expected;
            ASSERT_EQ(request.has_value(), c.outcome == Outcome::request);
            if (!request) continue;
            EXPECT_EQ(request->method + " " + request->path, c.expected);
            EXPECT_EQ(request->bytesConsumed, c.consumed);
        } catch (const VarekError& error) {
            ASSERT_EQ(c.outcome, Outcome::failure) << error.description();
            EXPECT_EQ(error, VarekError::invalid(c.expected));
        }
    }
}

TEST(HttpRequest, BodyLengthForms) {
    const struct {
        std::string value;
        std::size_t bodyPresent;
        Outcome outcome;
        std::int64_t body = 0;
    } cases[] = {
        {"4096", 4096, Outcome::request, 4096}, {"4096", 4095, Outcome::needMore},
        {"4097", 4097, Outcome::failure},       {"+5", 5, Outcome::request, 5},
        {"-0", 0, Outcome::request, 0},         {"-1", 0, Outcome::failure},
        {"++5", 5, Outcome::failure},           {"", 0, Outcome::failure},
        {"5x", 5, Outcome::failure},            {"99999999999999999999999", 0, Outcome::failure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("content-length '" + c.value + "'");
        const std::string block = "POST /x HTTP/1.1\r\nContent-Length:" + c.value;
        const std::string input = head(block) + std::string(c.bodyPresent, 'b');
        if (c.outcome == Outcome::failure) {
            try {
                ControlHTTPRequest::parse(input);
                ADD_FAILURE() << "accepted";
            } catch (const VarekError& error) {
                EXPECT_EQ(error, VarekError::invalid("invalid body length"));
            }
            continue;
        }
        const auto request = ControlHTTPRequest::parse(input);
        ASSERT_EQ(request.has_value(), c.outcome == Outcome::request);
        if (request) {
            EXPECT_EQ(request->bytesConsumed, static_cast<std::int64_t>(block.size()) + 4 + c.body);
            EXPECT_EQ(request->body, std::string(static_cast<std::size_t>(c.body), 'b'));
        }
    }
}

// Bytes after the declared length belong to no request: they must not leak into the body.
TEST(HttpRequest, BodyIsExactlyTheDeclaredBytes) {
    const struct {
        std::string input;
        std::string body;
    } cases[] = {
        {"POST /v1/setpoints HTTP/1.1\r\nContent-Length: 7\r\n\r\n{\"a\":1}", R"({"a":1})"},
        {"POST /x HTTP/1.1\r\nContent-Length: 3\r\n\r\nabcdef", "abc"},
        {"GET /x HTTP/1.1\r\n\r\nignored", ""},
        {"POST /x HTTP/1.1\r\nContent-Length: 4\r\n\r\n\r\n\r\n", "\r\n\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const auto request = ControlHTTPRequest::parse(c.input);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->body, c.body);
    }
}

TEST(HttpRequest, BearerMatching) {
    const std::string token(64, 'c');
    const struct {
        std::optional<std::string> header;
        bool expected;
    } cases[] = {
        {"Bearer " + token, true},          {" \t  Bearer " + token + "  \t", true},
        {"bearer " + token, false},         {"Bearer  " + token, false},
        {"Bearer " + token.substr(1) + "d", false},  // same length, one byte differs
        {"Bearer " + token + "c", false},   {"Bearer " + token.substr(1), false},
        {"Basic " + token, false},          {std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header.value_or("<none>"));
        std::string block = "GET /v1/status HTTP/1.1";
        if (c.header) block += "\r\nAuthorization:" + *c.header;
        const auto request = ControlHTTPRequest::parse(head(block));
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->authenticated(token), c.expected);
    }
}

TEST(HttpReply, WholeWireImage) {
    EXPECT_EQ(ControlHTTPReply(404, {{"ok", false}, {"error", "not_found"}}).wire(),
              "HTTP/1.1 404 Not Found\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 32\r\n"
              "Cache-Control: no-store\r\n"
              "Connection: close\r\n"
              "\r\n"
              R"({"error":"not_found","ok":false})");
}

TEST(HttpReply, Bodies) {
    const std::string notUtf8 = "\xff\xfe";
    const struct {
        const char* name;
        Json object;
        std::string_view body;
    } cases[] = {
        {"keys sorted, compact", {{"z", 1u}, {"a", true}, {"m", "x"}}, R"({"a":true,"m":"x","z":1})"},
        {"slashes escaped in keys and values", {{"path", "/v1/output/on"}, {"a/b", "</script>"}},
         R"({"a\/b":"<\/script>","path":"\/v1\/output\/on"})"},
        {"doubles read back", {{"firmware", 1.23}, {"voltage_V", 0.0}}, R"({"firmware":1.23,"voltage_V":0.0})"},
        {"value not UTF-8", {{"ok", true}, {"message", notUtf8}}, R"({"ok":false})"},
        {"key not UTF-8", {{notUtf8, 1u}}, R"({"ok":false})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ControlHTTPReply reply(503, c.object);
        EXPECT_EQ(reply.body, c.body);
        EXPECT_EQ(reply.status, 503);
        EXPECT_TRUE(reply.wire().ends_with("\r\nContent-Length: " + std::to_string(c.body.size()) +
                                           "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" +
                                           std::string(c.body)));
    }
}

TEST(StaticHTTPReply, WireCarriesTypeLengthAndPolicy) {
    const StaticHTTPReply reply{200, "text/css; charset=utf-8", "a{}"};
    EXPECT_EQ(reply.wire(),
              "HTTP/1.1 200 OK\r\nContent-Type: text/css; charset=utf-8\r\nContent-Length: 3\r\n"
              "Content-Security-Policy: default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self'; "
              "connect-src 'self'; object-src 'none'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"
              "\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\na{}");
}

}  // namespace
}  // namespace varek

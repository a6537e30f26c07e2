#include "varek/http.hpp"

#include <gtest/gtest.h>

#include "varek/error.hpp"

namespace varek {
namespace {

enum class Outcome { request, needMore, failure };

struct ParseCase {
    const char* name;
    std::string input;
    Outcome outcome;
    std::string expected;  // failure message, or "METHOD PATH" for a request
    std::int64_t consumed = 0;
};

std::string head(std::string lines) { return lines + "\r\n\r\n"; }
std::string padded(std::size_t blockSize) {
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    return start + std::string(blockSize - start.size(), 'a');
}

const ParseCase parseCases[] = {
    {"minimal", head("GET /health HTTP/1.1"), Outcome::request, "GET /health", 24},
    {"missing last two bytes", "GET /health HTTP/1.1\r\n\r", Outcome::needMore, ""},
    {"only separator", "\r\n\r\n", Outcome::failure, "invalid request line"},
    {"runs of spaces", head("  POST   /v1/output/on    HTTP/1.0  "), Outcome::request, "POST /v1/output/on", 40},
    {"tab is no separator", head("GET\t/x HTTP/1.1"), Outcome::failure, "invalid request line"},
    {"two tokens", head("GET /x"), Outcome::failure, "invalid request line"},
    {"four tokens", head("GET /x y HTTP/1.1"), Outcome::failure, "invalid request line"},
    {"HTTP/2", head("GET /x HTTP/2"), Outcome::failure, "invalid request line"},
    {"lower-case version", head("GET /x http/1.1"), Outcome::failure, "invalid request line"},
    {"bare LF is not a line break", head("GET /x HTTP/1.1\nHost: a"), Outcome::failure, "invalid request line"},
    {"method and path kept as sent", head("get /A%20b?q=1 HTTP/1.1"), Outcome::request, "get /A%20b?q=1", 27},
    {"names differ in case", head("GET / HTTP/1.1\r\nHost: a\r\nhOST: b"), Outcome::failure, "duplicate header"},
    {"empty name", head("GET / HTTP/1.1\r\n: x"), Outcome::failure, "duplicate header"},
    {"no colon", head("GET / HTTP/1.1\r\nHost a"), Outcome::failure, "invalid header"},
    {"space before colon is part of the name", head("GET / HTTP/1.1\r\nHost : a\r\nHost: b"), Outcome::request,
     "GET /", 37},
    {"chunked", head("GET / HTTP/1.1\r\nTransfer-Encoding: chunked"), Outcome::failure,
     "chunked requests unsupported"},
    {"any transfer-encoding beside a length", head("GET / HTTP/1.1\r\ncontent-length: 0\r\nTRANSFER-ENCODING:"),
     Outcome::failure, "chunked requests unsupported"},
    {"invalid UTF-8", head("GET / HTTP/1.1\r\nX: \xff"), Outcome::failure, "invalid headers"},
    {"overlong UTF-8", head("GET / HTTP/1.1\r\nX: \xc0\xaf"), Outcome::failure, "invalid headers"},
    {"UTF-16 surrogate", head("GET / HTTP/1.1\r\nX: \xed\xa0\x80"), Outcome::failure, "invalid headers"},
    {"truncated UTF-8", head("GET / HTTP/1.1\r\nX: \xe4\xb8"), Outcome::failure, "invalid headers"},
    {"valid UTF-8", head("GET / HTTP/1.1\r\nX: \xc3\xa9\xe4\xb8\xad\xf0\x9f\x94\x8c"), Outcome::request, "GET /",
     32},
    {"pipelined: first request only", head("GET /a HTTP/1.1") + head("GET /b HTTP/1.1"), Outcome::request, "GET /a",
     19},
    {"8192 bytes without separator", std::string(8192, 'a'), Outcome::needMore, ""},
    {"8193 bytes without separator", std::string(8193, 'a'), Outcome::failure, "headers too large"},
    {"8192-byte header block", head(padded(8192)), Outcome::request, "GET /", 8196},
    {"8193-byte header block", head(padded(8193)), Outcome::failure, "invalid headers"},
    {"12288 bytes with a request in front", head("GET / HTTP/1.1") + std::string(12288 - 18, 'x'),
     Outcome::request, "GET /", 18},
    {"12289 bytes with a request in front", head("GET / HTTP/1.1") + std::string(12289 - 18, 'x'),
     Outcome::failure, "request too large"},
};

class ParseTest : public testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesTheExpectedOutcome) {
    const ParseCase& c = GetParam();
    try {
        const auto request = ControlHTTPRequest::parse(c.input);
        ASSERT_NE(c.outcome, Outcome::failure) << "expected failure " << c.expected;
        if (c.outcome == Outcome::needMore) {
            EXPECT_FALSE(request.has_value());
            return;
        }
        ASSERT_TRUE(request.has_value());
        EXPECT_EQ(request->method + " " + request->path, c.expected);
        EXPECT_EQ(request->bytesConsumed, c.consumed);
        EXPECT_FALSE(request->authorization.has_value());
    } catch (const VarekError& error) {
        ASSERT_EQ(c.outcome, Outcome::failure) << error.description();
        EXPECT_EQ(error, VarekError::invalid(c.expected));
    }
}

INSTANTIATE_TEST_SUITE_P(Http, ParseTest, testing::ValuesIn(parseCases),
                         [](const auto& info) {
                             std::string name;
                             for (const char c : std::string(info.param.name)) name += std::isalnum(c) ? c : '_';
                             return name;
                         });

std::string failureOf(std::string_view input) {
    try {
        ControlHTTPRequest::parse(input);
    } catch (const VarekError& error) {
        EXPECT_EQ(error.kind(), VarekError::Case::invalid);
        return error.text();
    }
    return "<no failure>";
}

struct LengthCase {
    std::string value;
    std::size_t bodyPresent;
    Outcome outcome;
    std::int64_t body = 0;
};

const LengthCase lengthCases[] = {
    {"4096", 4096, Outcome::request, 4096}, {"4096", 4095, Outcome::needMore},
    {"4097", 4097, Outcome::failure},       {"+5", 5, Outcome::request, 5},
    {"-0", 0, Outcome::request, 0},         {"-1", 0, Outcome::failure},
    {"", 0, Outcome::failure},              {"5x", 5, Outcome::failure},
    {"0x10", 16, Outcome::failure},         {"++5", 5, Outcome::failure},
    {"5 5", 5, Outcome::failure},           {"99999999999999999999999", 0, Outcome::failure},
    {" \t7\t ", 7, Outcome::request, 7},    {"0004096", 4096, Outcome::request, 4096},
    {"\xd9\xa3", 3, Outcome::failure},  // an Arabic-Indic digit three
};

TEST(HttpRequest, BodyLengthForms) {
    for (const auto& c : lengthCases) {
        SCOPED_TRACE("content-length '" + c.value + "'");
        const std::string block = "POST /x HTTP/1.1\r\nContent-Length:" + c.value;
        const std::string input = head(block) + std::string(c.bodyPresent, 'b');
        if (c.outcome == Outcome::failure) {
            EXPECT_EQ(failureOf(input), "invalid body length");
            continue;
        }
        const auto request = ControlHTTPRequest::parse(input);
        ASSERT_EQ(request.has_value(), c.outcome == Outcome::request);
        if (request) {
            EXPECT_EQ(request->bytesConsumed, static_cast<std::int64_t>(block.size()) + 4 + c.body);
        }
    }
}

TEST(HttpRequest, BearerMatching) {
    const std::string token(64, 'c');
    struct Case {
        std::optional<std::string> header;
        bool expected;
    } cases[] = {
        {"Bearer " + token, true},
        {" \t  Bearer " + token + "  \t", true},
        {"bearer " + token, false},
        {"Bearer  " + token, false},
        {"Bearer " + token.substr(1) + "d", false},
        {"Bearer " + token + "c", false},
        {"Bearer " + token.substr(1), false},
        {"Basic " + token, false},
        {std::nullopt, false},
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

TEST(HttpReply, NotFoundWireImageByteForByte) {
    const ControlHTTPReply reply(404, {{"ok", false}, {"error", "not_found"}});
    EXPECT_EQ(reply.wire(),
              "HTTP/1.1 404 Not Found\r\n"
              "Content-Type: application/json; charset=utf-8\r\n"
              "Content-Length: 32\r\n"
              "Cache-Control: no-store\r\n"
              "Connection: close\r\n"
              "\r\n"
              R"({"error":"not_found","ok":false})");
}

TEST(HttpReply, BodyIsCompactSortedAndEscapesSlashes) {
    struct Case {
        Json object;
        std::string body;
    } cases[] = {
        {{{"z", 1u}, {"a", true}, {"m", "x"}}, R"({"a":true,"m":"x","z":1})"},
        {{{"path", "/v1/output/on"}, {"a/b", "</script>"}}, R"({"a\/b":"<\/script>","path":"\/v1\/output\/on"})"},
        {{{"text", "电源 \"on\"\n"}}, "{\"text\":\"电源 \\\"on\\\"\\n\"}"},  // UTF-8 kept as is
        {{{"voltage_V", 12.34}, {"current_A", 0.1}}, R"({"current_A":0.1,"voltage_V":12.34})"},
        {{{"bad", "\xff\xfe"}}, R"({"ok":false})"},
    };
    for (const auto& c : cases) {
        const ControlHTTPReply reply(503, c.object);
        EXPECT_EQ(reply.body, c.body);
        EXPECT_EQ(reply.status, 503);
    }
}

TEST(HttpReply, ReasonPhrases) {
    const std::pair<int, std::string_view> cases[] = {
        {200, "OK"},           {400, "Bad Request"},         {401, "Unauthorized"}, {404, "Not Found"},
        {405, "Method Not Allowed"}, {503, "Service Unavailable"}, {502, "Bad Gateway"}, {500, "Bad Gateway"},
    };
    for (const auto& [status, phrase] : cases) EXPECT_EQ(ControlHTTPReply::reasonPhrase(status), phrase);
    EXPECT_EQ(ControlHTTPReply(502, {{"ok", false}}).wire().substr(0, 26), "HTTP/1.1 502 Bad Gateway\r\n");
}

}  // namespace
}  // namespace varek

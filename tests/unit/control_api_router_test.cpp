#include "varek/control_api_router.hpp"

#include <gtest/gtest.h>

namespace varek {
namespace {

ControlHTTPRequest requestFor(std::string method, std::string path) {
    ControlHTTPRequest request;
    request.method = std::move(method);
    request.path = std::move(path);
    return request;
}

// Both programs route through the standard table, so this covers each of them.
TEST(ControlApiRouter, PathFirstThenMethodWithTheApiErrorBodies) {
    const struct {
        const char* method;
        const char* path;
        std::optional<ApiRoute> route;
        const char* reply;  // the body, when the router answers itself
        int status;
    } cases[] = {
        {"GET", "/v1/status", ApiRoute::status, nullptr, 0},
        {"POST", "/v1/output/on", ApiRoute::outputOn, nullptr, 0},
        {"POST", "/v1/output/off", ApiRoute::outputOff, nullptr, 0},
        {"POST", "/v1/status", std::nullopt, R"({"error":"use_GET","ok":false})", 405},
        {"GET", "/v1/output/on", std::nullopt, R"({"error":"use_POST","ok":false})", 405},
        {"DELETE", "/v1/output/off", std::nullopt, R"({"error":"use_POST","ok":false})", 405},
        {"get", "/v1/status", std::nullopt, R"({"error":"use_GET","ok":false})", 405},
        {"GET", "/v1/status/", std::nullopt, R"({"error":"not_found","ok":false})", 404},
        {"GET", "/v1/status?x=1", std::nullopt, R"({"error":"not_found","ok":false})", 404},
        {"GET", "/V1/STATUS", std::nullopt, R"({"error":"not_found","ok":false})", 404},
        {"POST", "/health", std::nullopt, R"({"error":"not_found","ok":false})", 404},
        {"GET", "", std::nullopt, R"({"error":"not_found","ok":false})", 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        const auto match = ControlApiRouter::standard().match(requestFor(c.method, c.path));
        EXPECT_EQ(match.route, c.route);
        if (c.reply) {
            ASSERT_TRUE(match.reply);
            EXPECT_EQ(match.reply->status, c.status);
            EXPECT_EQ(match.reply->body, c.reply);
        } else {
            EXPECT_FALSE(match.reply);
        }
    }
}

TEST(ControlApiRouter, APathWithSeveralMethodsNamesTheFirstInItsRefusal) {
    const ControlApiRouter router({{"/x", "GET", ApiRoute::status}, {"/x", "POST", ApiRoute::outputOn}});
    EXPECT_EQ(router.match(requestFor("POST", "/x")).route, ApiRoute::outputOn);
    EXPECT_EQ(router.match(requestFor("PUT", "/x")).reply->body, R"({"error":"use_GET","ok":false})");
}

}  // namespace
}  // namespace varek

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

// The automation table answers the standard paths exactly as the standard table does.
TEST(ControlApiRouter, AutomationTableKeepsTheStandardAnswersAndAddsItsRoutes) {
    const char* standardProbes[][2] = {
        {"GET", "/v1/status"},   {"POST", "/v1/status"},     {"GET", "/v1/output/on"},
        {"POST", "/v1/output/off"}, {"GET", "/v1/status/"}, {"POST", "/health"},
    };
    for (const auto& probe : standardProbes) {
        SCOPED_TRACE(std::string(probe[0]) + " " + probe[1]);
        const auto standard = ControlApiRouter::standard().match(requestFor(probe[0], probe[1]));
        const auto automation = ControlApiRouter::automation().match(requestFor(probe[0], probe[1]));
        EXPECT_EQ(automation.route, standard.route);
        EXPECT_EQ(automation.reply, standard.reply);
    }
    const struct {
        const char* method;
        const char* path;
        std::optional<ApiRoute> route;
        const char* error;
    } cases[] = {
        {"POST", "/v1/setpoints", ApiRoute::setpoints, nullptr},
        {"GET", "/v1/setpoints", std::nullopt, "use_POST"},
        {"GET", "/v1/sample", ApiRoute::sample, nullptr},
        {"POST", "/v1/sample", std::nullopt, "use_GET"},
        {"POST", "/v1/sequence", ApiRoute::sequenceStart, nullptr},
        {"GET", "/v1/sequence", ApiRoute::sequenceProgress, nullptr},
        {"DELETE", "/v1/sequence", std::nullopt, "use_POST"},
        {"POST", "/v1/sequence/stop", ApiRoute::sequenceStop, nullptr},
        {"GET", "/v1/sequence/stop", std::nullopt, "use_POST"},
        {"GET", "/v1/sequence/", std::nullopt, "not_found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.path);
        const auto match = ControlApiRouter::automation().match(requestFor(c.method, c.path));
        EXPECT_EQ(match.route, c.route);
        EXPECT_EQ(match.reply.has_value(), c.error != nullptr);
        if (c.error) {
            EXPECT_EQ(match.reply->body, std::string(R"({"error":")") + c.error + R"(","ok":false})");
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

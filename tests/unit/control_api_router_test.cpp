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

// The one route-refusal table: both programs route through these tables, path first,
// then method. `desktop` is what the supply table answers, `server` the table with
// the dashboard's routes (nullopt route plus an error: the router's own reply).
TEST(ControlApiRouter, PathFirstThenMethodWithTheApiErrorBodies) {
    struct Answer {
        std::optional<ApiRoute> route;
        const char* error;  // "use_GET", "use_POST", "not_found" or nullptr
    };
    const struct {
        const char* method;
        const char* path;
        Answer desktop;
        Answer server;
    } cases[] = {
        {"GET", "/v1/status", {ApiRoute::status, nullptr}, {ApiRoute::status, nullptr}},
        {"POST", "/v1/output/on", {ApiRoute::outputOn, nullptr}, {ApiRoute::outputOn, nullptr}},
        {"POST", "/v1/output/off", {ApiRoute::outputOff, nullptr}, {ApiRoute::outputOff, nullptr}},
        {"POST", "/v1/status", {{}, "use_GET"}, {{}, "use_GET"}},
        {"get", "/v1/status", {{}, "use_GET"}, {{}, "use_GET"}},
        {"GET", "/v1/output/on", {{}, "use_POST"}, {{}, "use_POST"}},
        {"DELETE", "/v1/output/off", {{}, "use_POST"}, {{}, "use_POST"}},
        {"GET", "/v1/status/", {{}, "not_found"}, {{}, "not_found"}},
        {"GET", "/v1/status?x=1", {{}, "not_found"}, {{}, "not_found"}},
        {"GET", "/V1/STATUS", {{}, "not_found"}, {{}, "not_found"}},
        {"POST", "/health", {{}, "not_found"}, {{}, "not_found"}},
        {"GET", "", {{}, "not_found"}, {{}, "not_found"}},
        {"POST", "/v1/setpoints", {ApiRoute::setpoints, nullptr}, {ApiRoute::setpoints, nullptr}},
        {"GET", "/v1/setpoints", {{}, "use_POST"}, {{}, "use_POST"}},
        {"GET", "/v1/sample", {ApiRoute::sample, nullptr}, {ApiRoute::sample, nullptr}},
        {"POST", "/v1/sample", {{}, "use_GET"}, {{}, "use_GET"}},
        {"POST", "/v1/sequence", {ApiRoute::sequenceStart, nullptr}, {ApiRoute::sequenceStart, nullptr}},
        {"GET", "/v1/sequence", {ApiRoute::sequenceProgress, nullptr}, {ApiRoute::sequenceProgress, nullptr}},
        {"DELETE", "/v1/sequence", {{}, "use_POST"}, {{}, "use_POST"}},
        {"POST", "/v1/sequence/stop", {ApiRoute::sequenceStop, nullptr}, {ApiRoute::sequenceStop, nullptr}},
        {"GET", "/v1/sequence/stop", {{}, "use_POST"}, {{}, "use_POST"}},
        {"GET", "/v1/sequence/", {{}, "not_found"}, {{}, "not_found"}},
        {"GET", "/v1/latest", {{}, "not_found"}, {ApiRoute::latest, nullptr}},
        {"POST", "/v1/latest", {{}, "not_found"}, {{}, "use_GET"}},
        {"GET", "/v1/history", {{}, "not_found"}, {ApiRoute::history, nullptr}},
        {"GET", "/v1/server", {{}, "not_found"}, {ApiRoute::server, nullptr}},
        {"PUT", "/v1/server", {{}, "not_found"}, {{}, "use_GET"}},
    };
    for (const auto& c : cases) {
        for (const bool dashboard : {false, true}) {
            SCOPED_TRACE(std::string(c.method) + " " + c.path + (dashboard ? " (server)" : " (desktop)"));
            const Answer& expected = dashboard ? c.server : c.desktop;
            const auto& router = dashboard ? ControlApiRouter::supplyWithDashboard() : ControlApiRouter::supply();
            const auto match = router.match(requestFor(c.method, c.path));
            EXPECT_EQ(match.route, expected.route);
            ASSERT_EQ(match.reply.has_value(), expected.error != nullptr);
            if (!expected.error) continue;
            EXPECT_EQ(match.reply->status, std::string(expected.error) == "not_found" ? 404 : 405);
            EXPECT_EQ(match.reply->body, std::string(R"({"error":")") + expected.error + R"(","ok":false})");
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

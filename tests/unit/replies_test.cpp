#include "http/replies.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "support/capture.h"
#include "support/in_process_server.h"

namespace tb {
namespace {

TEST(Replies, SendErrorWritesIndentedSortedEnvelope) {
  httplib::Response res;
  SendError(res, "value is required.", 400);
  EXPECT_EQ(res.status, 400);
  EXPECT_EQ(res.body, "{\n    \"msg\": \"value is required.\",\n    \"status\": \"error\"\n}");
  EXPECT_EQ(res.get_header_value("Content-Type"), "application/json; charset=utf-8");
}

TEST(Replies, SendJsonWritesRawUtf8AndThrowsOnInvalidText) {
  httplib::Response res;
  SendJson(res, nlohmann::json{{"zeta", 1}, {"msg", "打印成功"}}, 200);
  EXPECT_EQ(res.body, "{\n    \"msg\": \"打印成功\",\n    \"zeta\": 1\n}");
  EXPECT_THROW(SendJson(res, nlohmann::json{{"msg", "\xFF"}}, 200), nlohmann::json::type_error);
}

TEST(Replies, EscapingExceptionsBecome500WithOneLineBodyAndLogLine) {
  tbtest::CapturedFd err(2);
  tbtest::InProcessServer server([](httplib::Server& s) {
    s.Get("/throw-std", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("partial", "text/plain");
      res.set_header("X-Kept", "yes");
      throw std::runtime_error("disk on fire");
    });
    s.Get("/throw-int", [](const httplib::Request&, httplib::Response&) { throw 42; });
  });
  auto client = server.Client();

  auto r = client.Get("/throw-std");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 500);
  EXPECT_EQ(r->body, R"({"message":"disk on fire","status":"error"})");
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(r->get_header_value("X-Kept"), "yes");
  EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*");

  auto r2 = client.Get("/throw-int");
  ASSERT_TRUE(r2);
  EXPECT_EQ(r2->status, 500);
  EXPECT_EQ(r2->body, R"({"message":"internal error","status":"error"})");

  // The server goes on answering.
  auto v = client.Get("/version");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->status, 200);

  std::string log = err.Text();
  EXPECT_NE(log.find("[HTTP] unhandled exception: disk on fire\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[HTTP] unhandled exception: internal error\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace tb

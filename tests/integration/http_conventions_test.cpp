#include <httplib.h>
#include <gtest/gtest.h>

#include "support/daemon_harness.h"

namespace {

using tbtest::DaemonProcess;
using tbtest::TempFolder;

void ExpectCors(const httplib::Result& r) {
  ASSERT_TRUE(r);
  EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(r->get_header_value("Access-Control-Allow-Methods"), "POST, GET, OPTIONS");
  EXPECT_EQ(r->get_header_value("Access-Control-Allow-Headers"), "*");
  EXPECT_EQ(r->get_header_value("Access-Control-Allow-Private-Network"), "true");
  EXPECT_EQ(r->get_header_value("Access-Control-Max-Age"), "86400");
}

class HttpConventions : public ::testing::Test {
 protected:
  TempFolder folder;
  DaemonProcess daemon{folder};
  httplib::Client client{"127.0.0.1", 3806};
};

TEST_F(HttpConventions, PreflightOnAnyPathAnswers204WithCorsAndNoBody) {
  for (const char* path : {"/print", "/no/such/path", "/"}) {
    auto r = client.Options(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(r->status, 204) << path;
    EXPECT_TRUE(r->body.empty()) << path;
    ExpectCors(r);
  }
}

TEST_F(HttpConventions, UnroutedPathsAndMethodsAnswer404WithCors) {
  auto unknown = client.Get("/no/such/path");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
  ExpectCors(unknown);
  auto put = client.Put("/print", "{}", "application/json");
  ASSERT_TRUE(put);
  EXPECT_EQ(put->status, 404);
  ExpectCors(put);
}

TEST_F(HttpConventions, VersionAnswersIndentedJson) {
  auto r = client.Get("/version");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "{\n    \"version\": \"v1.4.0\"\n}");
  EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
  ExpectCors(r);
}

}  // namespace

// POST /print through the daemon's own server setup: the handler receives the
// body itself, so the library's body rules must still hold there.
#include <string>

#include "platform/md5.h"
#include "print_fixture.h"
#include "service/server_setup.h"
#include "support/in_process_server.h"
#include "support/print_programs.h"

namespace {

using nlohmann::json;
using tbtest::PrintTest;

class PrintRouteTest : public PrintTest {
 protected:
  void SetUp() override {
    PrintTest::SetUp();
    use = std::make_unique<tb::platform::ScopedPlatformOverride>(platform);
    server = std::make_unique<tbtest::InProcessServer>();
  }
  void TearDown() override {
    server.reset();
    use.reset();
    PrintTest::TearDown();
  }
  std::unique_ptr<tb::platform::ScopedPlatformOverride> use;
  std::unique_ptr<tbtest::InProcessServer> server;
};

TEST_F(PrintRouteTest, BodyArrivesWholeWithOrWithoutALength) {
  const std::string body = json{{"LabelContent", "QUJD"}, {"PrinterName", "P"}}.dump();
  httplib::Client client = server->Client();
  auto sized = client.Post("/print", body, "application/json");
  ASSERT_TRUE(sized);
  EXPECT_EQ(json::parse(sized->body)["md5sum"], tb::platform::Md5HexOfText("ABC"));
  EXPECT_EQ(sized->get_header_value("Access-Control-Allow-Origin"), "*");

  // Chunked: no Content-Length to size the buffer from.
  auto chunked = client.Post(
      "/print",
      [&](size_t offset, httplib::DataSink& sink) {
        if (offset < body.size()) sink.write(body.data() + offset, std::min<size_t>(5, body.size() - offset));
        if (offset + 5 >= body.size()) sink.done();
        return true;
      },
      "application/json");
  ASSERT_TRUE(chunked);
  EXPECT_EQ(json::parse(chunked->body)["md5sum"], tb::platform::Md5HexOfText("ABC"));
}

TEST_F(PrintRouteTest, LargeDocumentArrivesIntact) {
  // Large enough for the block taken from the system and the second thread
  // that digests the text.
  std::string document(3 << 20, '\0');
  uint32_t x = 1;
  for (char& c : document) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
  const std::string text = tbtest::Base64Encode(document);
  const std::string body = json{{"LabelContent", text}, {"PrinterName", "P"}}.dump();
  httplib::Client client = server->Client();
  auto r = client.Post("/print", body, "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(json::parse(r->body), (json{{"status", "success"}, {"md5sum", tb::platform::Md5HexOfText(document)}}));
  EXPECT_EQ(CacheFiles(), std::vector<std::string>{tb::platform::Md5HexOfText(text) + ".pdf"});
  EXPECT_EQ(tbtest::ReadFile(CachePath(tb::platform::Md5HexOfText(text) + ".pdf")), document);
  EXPECT_EQ(Query("SELECT fileSize FROM print_files;"), std::vector<std::string>{std::to_string(document.size())});
}

TEST_F(PrintRouteTest, FormPostsAreNotJsonBodies) {
  httplib::Client client = server->Client();
  httplib::MultipartFormDataItems items = {{"LabelContent", "QUJD", "", ""}};
  auto r = client.Post("/print", items);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  json reply = json::parse(r->body);
  EXPECT_EQ(reply["status"], "error");
  EXPECT_TRUE(reply["msg"].is_string());
  EXPECT_TRUE(launcher.Launches().empty());
}

TEST_F(PrintRouteTest, BodiesAboveTheLimitAreRefusedBeforeAnyPrint) {
  httplib::Client client = server->Client();
  client.set_write_timeout(60, 0);
  client.set_read_timeout(60, 0);
  std::string body = json{{"LabelContent", std::string(tb::kMaxRequestBody, 'Q')}}.dump();
  auto r = client.Post("/print", body, "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 413);
  EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*");
  EXPECT_TRUE(launcher.Launches().empty());
  EXPECT_TRUE(CacheFiles().empty());
}

}  // namespace

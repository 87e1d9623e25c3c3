#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "base/web_origin.h"
#include "http/refused_origins.h"
#include "printers_test_env.h"
#include "service/origin_commands.h"
#include "store/allowed_origins.h"
#include "support/in_process_server.h"

namespace tb {
namespace {

TEST(WebOrigin, NormalisesToOneFormAndRefusesWhatIsNoOrigin) {
  const std::vector<std::pair<const char*, const char*>> same = {
      {" HTTPS://Shop.Example/ ", "https://shop.example"},
      {"https://shop.example:443", "https://shop.example"},
      {"http://erp.local:080", "http://erp.local"},
      {"http://erp.local:", "http://erp.local"},
      {"https://erp.local:80", "https://erp.local:80"},
      {"http://[::1]:8080", "http://[::1]:8080"},
      {"chrome-extension://abcdef", "chrome-extension://abcdef"},
  };
  for (const auto& [text, expected] : same) {
    std::string origin, error;
    EXPECT_TRUE(NormalizeOrigin(text, origin, error)) << text << ": " << error;
    EXPECT_EQ(origin, expected) << text;
  }
  for (const char* text : {"", "shop.example", "null", "https://", "https://shop.example/a",
                           "https://shop.example?x", "https://u@shop.example", "https://:80",
                           "https://shop.example:65536", "https://shop.example:0",
                           "https://shop.example:8x", "https://bücher.example", "1http://a",
                           "http://[::1", "http://-a.example"}) {
    std::string origin, error = "unset";
    EXPECT_FALSE(NormalizeOrigin(text, origin, error)) << text << " gave " << origin;
    EXPECT_TRUE(origin.empty()) << text;
    EXPECT_EQ(error.rfind("not an origin (scheme://host[:port]): ", 0), 0u) << text << ": " << error;
  }
}

TEST(RefusedOrigins, KeepsTheLatestTenWithoutRepeats) {
  RefusedOrigins refused;
  for (int i = 0; i < 12; ++i) EXPECT_TRUE(refused.Note("https://s" + std::to_string(i)));
  EXPECT_FALSE(refused.Note("https://s5"));
  refused.Forget("https://s11");
  const std::vector<std::string> latest = refused.Latest(), expected = {
      "https://s5", "https://s10", "https://s9", "https://s8", "https://s7",
      "https://s6", "https://s4", "https://s3", "https://s2"};
  EXPECT_EQ(latest, expected);
}

// The gate in the daemon's own server: who is refused, which headers, and
// that a refused request changes nothing.
using OriginGateTest = tbtest::PrintersTest;
TEST_F(OriginGateTest, AnswersOnlyListedOriginsOnceTheListIsOn) {
  tbtest::InProcessServer server;
  httplib::Client client = server.Client();
  const auto send = [&](const char* method, const std::string& path, const std::string& origin,
                        const std::string& host = "") {
    httplib::Request req;
    req.method = method;
    req.path = path;
    if (!origin.empty()) req.set_header("Origin", origin);
    if (!host.empty()) req.set_header("Host", host);
    if (req.method == "POST") req.body = R"({"value": "Brother"})";
    if (req.method == "POST") req.set_header("Content-Type", "text/plain");
    return client.send(req);
  };
  spooler.printers = {tbtest::Printer("Brother")};
  std::string origin, error;
  ASSERT_TRUE(store::AllowOrigin("HTTPS://Shop.Example:443/", origin, error)) << error;
  const std::string port = std::to_string(server.port());
  struct Case {
    const char* method;
    const char* path;
    std::string origin, host;
    int status;
    std::string allowOrigin;  // the echoed Access-Control-Allow-Origin
    bool allowsMethods;       // the rest of the CORS headers
  };
  const Case cases[] = {
      {"OPTIONS", "/print", "https://shop.example", "", 204, "https://shop.example", true},
      {"GET", "/version", "", "", 200, "", false},
      // The daemon's own pages, and a page of a name that resolves here.
      {"GET", "/version", "http://127.0.0.1:" + port, "", 200, "http://127.0.0.1:" + port, true},
      // A rebound name is not this machine's: refused by its Host first.
      {"GET", "/list", "http://rebound.example:" + port, "rebound.example:" + port, 421,
       "http://rebound.example:" + port, false},
      {"OPTIONS", "/setup", "https://evil.example", "", 403, "https://evil.example", false},
      {"POST", "/setup", "https://evil.example", "", 403, "https://evil.example", false},
      {"POST", "/setup", "null", "", 403, "null", false},
  };
  for (const Case& c : cases) {
    auto r = send(c.method, c.path, c.origin, c.host);
    ASSERT_TRUE(r) << c.method << " " << c.origin;
    EXPECT_EQ(r->status, c.status) << c.method << " " << c.origin;
    EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), c.allowOrigin) << c.origin;
    EXPECT_EQ(r->has_header("Access-Control-Allow-Methods"), c.allowsMethods) << c.origin;
    EXPECT_EQ(r->get_header_value("Vary"), "Origin") << c.origin;
  }
  EXPECT_EQ(Query("SELECT count(*) FROM config WHERE type='*';"), std::vector<std::string>{"0"});
  EXPECT_EQ(RefusedOrigins::Shared().Latest().front(), "https://evil.example");
}

// What the setup program hands over is listed once: valid origins stored,
// the rest reported, the file gone; without a database it waits.
using HandedOverOrigins = tbtest::StoreTest;
TEST_F(HandedOverOrigins, AreListedOnceAndWaitForADatabase) {
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder.path());
  const auto handOver = [](const char* text) { std::ofstream(kHandedOverOriginsFile) << text; };
  handOver("HTTPS://Shop.Example/,http://erp.local:8080\r\n https://bad/path,,");
  ListHandedOverOrigins();
  EXPECT_EQ(file.Query("SELECT key FROM config WHERE type='ALLOWED_ORIGIN' ORDER BY key;"),
            (std::vector<std::string>{"http://erp.local:8080", "https://shop.example"}));
  EXPECT_FALSE(std::filesystem::exists(kHandedOverOriginsFile));

  store::Database::Shared().Close();
  handOver("https://later.example");
  ListHandedOverOrigins();
  EXPECT_TRUE(std::filesystem::exists(kHandedOverOriginsFile));
  std::filesystem::current_path(previous);
}

}  // namespace
}  // namespace tb

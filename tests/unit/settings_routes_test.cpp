#include <gtest/gtest.h>

#include "printers_test_env.h"
#include "store/database.h"
#include "support/in_process_server.h"

namespace tb {
namespace {

using nlohmann::json;
using tbtest::Printer;
using Rows = std::vector<std::string>;

constexpr const char* kConfigRows = "SELECT type,flag,key,value FROM config ORDER BY rowid;";

class SettingsRoutesTest : public tbtest::PrintersTest {
 protected:
  void SetUp() override {
    PrintersTest::SetUp();
    spooler.printers = {Printer("Zebra ZD420"), Printer("Brother")};
  }

  httplib::Result Get(const std::string& path) { return client.Get(path); }
  httplib::Result Post(const std::string& path, const std::string& body) {
    return client.Post(path, body, "application/json");
  }

  static void ExpectRedirectHome(const httplib::Result& r) {
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 303);
    EXPECT_EQ(r->get_header_value("Location"), "/");
    EXPECT_TRUE(r->body.empty());
  }

  static void ExpectError(const httplib::Result& r, int status, const std::string& msg) {
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, status);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
    EXPECT_EQ(json::parse(r->body), (json{{"msg", msg}, {"status", "error"}})) << r->body;
  }

  static std::string Msg(const httplib::Result& r) {
    if (!r) return "<no answer>";
    return json::parse(r->body).value("msg", std::string());
  }

  void CloseDatabase() { store::Database::Shared().Close(); }

  tbtest::InProcessServer server;
  httplib::Client client = server.Client();
};

TEST_F(SettingsRoutesTest, DefaultStoresAnyGivenNameAndRedirects) {
  ExpectRedirectHome(Get("/default"));
  ExpectRedirectHome(Get("/default?printerName="));
  EXPECT_EQ(Query(kConfigRows), Rows{});

  ExpectRedirectHome(Get("/default?printerName=Not%20Installed"));
  EXPECT_EQ(Query(kConfigRows), Rows{"*|||Not Installed"});
  ExpectRedirectHome(Get("/default?printerName=Brother&printerName=Zebra"));
  EXPECT_EQ(Query(kConfigRows), Rows{"*|||Brother"});
}

TEST_F(SettingsRoutesTest, DefaultWithoutDatabaseAnswers500) {
  CloseDatabase();
  ExpectError(Get("/default?printerName=Brother"), 500, "Failed to save default printer.");
  ExpectRedirectHome(Get("/default"));  // nothing to store, nothing to fail
}

TEST_F(SettingsRoutesTest, SetupWithoutKeyOrWithEmptyKeySetsTheDefaultPrinter) {
  auto r = Post("/setup", R"({"value":"Brother"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "{\n    \"msg\": \"Config saved\",\n    \"status\": \"success\"\n}");
  EXPECT_EQ(Query(kConfigRows), Rows{"*|||Brother"});

  r = Post("/setup", R"({"key":"","value":"Zebra ZD420"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(Query(kConfigRows), Rows{"*|||Zebra ZD420"});

  r = Post("/setup", R"({"key":"*","value":"Brother"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(Query(kConfigRows), Rows{"*|||Brother"});
}

TEST_F(SettingsRoutesTest, SetupWithAClientKeyReplacesItsRow) {
  ASSERT_TRUE(Post("/setup", R"({"key":"shop","value":"Brother"})"));
  auto r = Post("/setup", R"({"key":"shop","value":"Zebra ZD420"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(json::parse(r->body), json::parse(R"({"msg":"Config saved","status":"success"})"));
  EXPECT_EQ(Query(kConfigRows), Rows{"||shop|Zebra ZD420"});
}

TEST_F(SettingsRoutesTest, SetupChecksThePrinterAgainstAFreshEnumeration) {
  ExpectError(Post("/setup", R"({"value":"brother"})"), 400, "printer name is wrong.");
  ExpectError(Post("/setup", R"({"key":"shop","value":"Canon"})"), 400,
              "printer name is wrong.");
  // A printer installed a moment ago is found although the cache is fresh.
  json list = printers::GetPrinterList();
  spooler.printers.push_back(Printer("Canon"));
  const int before = spooler.enumPrintersCalls;
  auto r = Post("/setup", R"({"key":"shop","value":"Canon"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200) << r->body;
  EXPECT_EQ(spooler.enumPrintersCalls, before + 1);
  EXPECT_EQ(Query(kConfigRows), Rows{"||shop|Canon"});
}

TEST_F(SettingsRoutesTest, SetupValidatesItsBody) {
  ExpectError(Post("/setup", R"({"key":"shop"})"), 400, "value is required.");
  ExpectError(Post("/setup", R"({"value":""})"), 400, "value is required.");

  auto empty = Post("/setup", "");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(Msg(empty).rfind("[json.exception.parse_error.101]", 0), 0u) << Msg(empty);
  auto text = Post("/setup", "value=Brother");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->status, 200);
  EXPECT_EQ(Msg(text).rfind("[json.exception.parse_error.101]", 0), 0u) << Msg(text);
  auto comment = Post("/setup", "/* c */ {\"value\":\"Brother\"}");
  EXPECT_EQ(Msg(comment).rfind("[json.exception.parse_error", 0), 0u) << Msg(comment);

  auto array = Post("/setup", R"(["Brother"])");
  ASSERT_TRUE(array);
  EXPECT_EQ(array->status, 200);
  EXPECT_EQ(Msg(array).rfind("[json.exception.type_error.306]", 0), 0u) << Msg(array);
  auto number = Post("/setup", R"({"key":5,"value":"Brother"})");
  ASSERT_TRUE(number);
  EXPECT_EQ(number->status, 200);
  EXPECT_EQ(Msg(number).rfind("[json.exception.type_error.302]", 0), 0u) << Msg(number);
  EXPECT_EQ(Query(kConfigRows), Rows{});
}

TEST_F(SettingsRoutesTest, SetupWithoutDatabaseChecksThePrinterThenFailsTheWrite) {
  CloseDatabase();
  ExpectError(Post("/setup", R"({"value":"Canon"})"), 400, "printer name is wrong.");
  ExpectError(Post("/setup", R"({"value":"Brother"})"), 200, "Database write failed.");
}

TEST_F(SettingsRoutesTest, RemoveDeletesByTypeAndKeyAndCountsRows) {
  ExpectError(Post("/remove", "{}"), 400, "key is required.");
  ASSERT_TRUE(Post("/setup", R"({"key":"shop","value":"Brother"})"));
  auto r = Post("/remove", R"({"key":"shop"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->body, "{\n    \"count\": 1,\n    \"status\": \"success\"\n}");
  r = Post("/remove", R"({"key":"shop"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(json::parse(r->body), json::parse(R"({"count":0,"status":"success"})"));

  store::SeedConfigDefaults();
  r = Post("/remove", R"({"type":"PRINT","key":"SUMATRA_PRINT_SETTINGS"})");
  ASSERT_TRUE(r);
  EXPECT_EQ(json::parse(r->body)["count"], 1);
  EXPECT_EQ(Query(kConfigRows), Rows{"PRINT||AUTO_SCALE_PDF_TO_PRINTER|1"});

  auto bad = Post("/remove", "[1]");
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->status, 200);
  EXPECT_EQ(Msg(bad).rfind("[json.exception.type_error.306]", 0), 0u) << Msg(bad);
}

TEST_F(SettingsRoutesTest, RemoveWithoutDatabaseReportsTheFailure) {
  CloseDatabase();
  ExpectError(Post("/remove", R"({"key":"shop"})"), 200, "Database operation failed.");
}

TEST_F(SettingsRoutesTest, ListShowsKeyAndValueOfEveryRow) {
  auto r = Get("/list");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "[]");

  store::SeedConfigDefaults();
  ASSERT_TRUE(Post("/setup", R"({"key":"shop","value":"Brother"})"));
  r = Get("/list");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(json::parse(r->body), json::parse(R"([
      {"key":"SUMATRA_PRINT_SETTINGS","value":"fit"},
      {"key":"AUTO_SCALE_PDF_TO_PRINTER","value":"1"},
      {"key":"shop","value":"Brother"}])"));

  CloseDatabase();
  r = Get("/list");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "[]");
}

TEST_F(SettingsRoutesTest, ListReportsRowsThatAreNotText) {
  Exec("INSERT INTO config VALUES('','','bad',CAST(x'ff' AS TEXT));");
  auto r = Get("/list");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(Msg(r).rfind("[json.exception.type_error.316]", 0), 0u) << r->body;
}

TEST_F(SettingsRoutesTest, SwitchTwiceRestoresTheSetting) {
  store::SeedConfigDefaults();
  ExpectRedirectHome(Get("/switch"));
  EXPECT_FALSE(store::GetAutoScalePdf());
  ExpectRedirectHome(Get("/switch"));
  EXPECT_TRUE(store::GetAutoScalePdf());
}

TEST_F(SettingsRoutesTest, PrintModeRoutesStoreTheirWord) {
  for (const char* mode : {"shrink", "noscale", "stretch", "fit"}) {
    ExpectRedirectHome(Get(std::string("/") + mode));
    EXPECT_EQ(store::GetPrintSettings(), mode);
  }
  EXPECT_EQ(Query(kConfigRows), Rows{"PRINT||SUMATRA_PRINT_SETTINGS|fit"});
}

TEST_F(SettingsRoutesTest, BrowserRoutesWithoutDatabaseAnswer500WithTheStoreText) {
  CloseDatabase();
  ExpectError(Get("/switch"), 500,
              "Failed to update AUTO_SCALE_PDF_TO_PRINTER: database is not initialized");
  ExpectError(Get("/noscale"), 500,
              "Failed to update SUMATRA_PRINT_SETTINGS: database is not initialized");
}

}  // namespace
}  // namespace tb

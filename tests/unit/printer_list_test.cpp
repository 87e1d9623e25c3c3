#include <gtest/gtest.h>

#include "printers/printer_list.h"
#include "printers_test_env.h"
#include "support/in_process_server.h"

namespace tb::printers {
namespace {

using nlohmann::json;
using tbtest::Printer;
using namespace std::chrono_literals;

TEST(PrinterStatusText, ReadyOrEveryKnownBitInAscendingOrder) {
  EXPECT_EQ(PrinterStatusText(0), "Ready");
  EXPECT_EQ(PrinterStatusText(0x81), "Paused Offline ");
  EXPECT_EQ(PrinterStatusText(0x18), "Paper Jam Paper Out ");
  EXPECT_EQ(PrinterStatusText(0x3FF),
            "Paused Error Deleting Paper Jam Paper Out Manual Feed Paper Problem Offline Printing "
            "Busy ");
}

TEST(PrinterStatusText, BitsWithoutTextOnlyCountWhenNothingElseIsSet) {
  EXPECT_EQ(PrinterStatusText(0x400), "Other (1024)");
  EXPECT_EQ(PrinterStatusText(0x500), "Printing ");
  EXPECT_EQ(PrinterStatusText(0x80000000u), "Other (2147483648)");
  EXPECT_EQ(PrinterStatusText(0xFFFFFC01u), "Paused ");
}

class PrinterListTest : public tbtest::PrintersTest {};

TEST_F(PrinterListTest, ListIsServedFromTheCacheForFifteenMinutesThenEnumeratedAgain) {
  spooler.printers = {Printer("Zebra"), Printer("Brother", 0x80)};
  json first = GetPrinterList();
  EXPECT_EQ(first, json::parse(R"([{"name":"Zebra","status":"Ready"},
                                   {"name":"Brother","status":"Offline "}])"));
  EXPECT_EQ(spooler.enumPrintersCalls, 1);

  spooler.printers = {Printer("Zebra", 0x1)};
  now += kPrinterCacheTtl;  // the expiry itself still counts as fresh
  EXPECT_EQ(GetPrinterList(), first);
  EXPECT_EQ(spooler.enumPrintersCalls, 1);

  now += 1ms;
  EXPECT_EQ(GetPrinterList(), json::parse(R"([{"name":"Zebra","status":"Paused "}])"));
  EXPECT_EQ(spooler.enumPrintersCalls, 2);
}

TEST_F(PrinterListTest, RefreshAlwaysEnumeratesAndRemembersTheSystemDefault) {
  spooler.printers = {Printer("A"), Printer("B")};
  spooler.defaultPrinter = "B";
  json list;
  RefreshPrinters(list);
  RefreshPrinters(list);
  EXPECT_EQ(spooler.enumPrintersCalls, 2);
  EXPECT_EQ(GetCachedDefaultPrinter(), "B");

  spooler.defaultPrinter.reset();  // the default went away
  RefreshPrinters(list);
  EXPECT_EQ(GetCachedDefaultPrinter(), "");
}

TEST_F(PrinterListTest, NoPrintersIsCachedAndKeepsTheRememberedDefault) {
  spooler.printers = {Printer("A"), Printer("B")};
  spooler.defaultPrinter = "B";
  GetPrinterList();

  spooler.printers.clear();
  now += kPrinterCacheTtl + 1ms;
  EXPECT_EQ(GetPrinterList(), json::array());
  EXPECT_EQ(spooler.getDefaultCalls, 1);  // not asked when nothing is installed
  EXPECT_EQ(GetPrinterList(), json::array());
  EXPECT_EQ(spooler.enumPrintersCalls, 2);  // the empty list came from the cache
  EXPECT_EQ(ResolveDefaultPrinter(), "B");
}

TEST_F(PrinterListTest, FailedEnumerationGivesAnEmptyListThatIsNotCached) {
  spooler.enumPrintersFails = true;
  EXPECT_EQ(GetPrinterList(), json::array());
  json cached;
  EXPECT_FALSE(GetCachedPrinters(cached));
  spooler.enumPrintersFails = false;
  spooler.printers = {Printer("A")};
  EXPECT_EQ(GetPrinterList().size(), 1u);
  EXPECT_EQ(spooler.enumPrintersCalls, 2);
}

TEST_F(PrinterListTest, EntriesWithoutANameAreSkippedAndBadTextReadsEmpty) {
  tb::platform::PrinterEntry unnamed;
  unnamed.status = 0x2;
  spooler.printers = {unnamed, Printer("ok"), Printer("bad\xff")};
  EXPECT_EQ(GetPrinterList(), json::parse(R"([{"name":"ok","status":"Ready"},
                                              {"name":"","status":"Ready"}])"));
}

TEST_F(PrinterListTest, ResolveDefaultPrefersTheConfiguredRowThenTheOnlyPrinterThenTheSystem) {
  spooler.printers = {Printer("A"), Printer("B")};
  spooler.defaultPrinter = "B";
  EXPECT_EQ(ResolveDefaultPrinter(), "B");

  spooler.printers = {Printer("Only")};
  now += kPrinterCacheTtl + 1ms;
  EXPECT_EQ(ResolveDefaultPrinter(), "Only");

  SetDefaultRow("ONLY");  // other letter case than the printer: still the answer
  EXPECT_EQ(ResolveDefaultPrinter(), "ONLY");
  EXPECT_FALSE(ListPrintersWithDefault()[0].contains("default"));
}

TEST_F(PrinterListTest, AnEmptyConfiguredDefaultIsStillTheAnswer) {
  spooler.printers = {Printer("Only")};
  SetDefaultRow("");
  EXPECT_EQ(ResolveDefaultPrinter(), "");
}

TEST_F(PrinterListTest, DefaultMarkFollowsTheConfiguredNameExactly) {
  spooler.printers = {Printer("Zebra"), Printer("Brother")};
  spooler.defaultPrinter = "Zebra";

  // No row: the system default is marked.
  json list = ListPrintersWithDefault();
  EXPECT_EQ(list[0].value("default", false), true);
  EXPECT_FALSE(list[1].contains("default"));

  SetDefaultRow("Brother");
  list = ListPrintersWithDefault();
  EXPECT_FALSE(list[0].contains("default"));
  EXPECT_EQ(list[1]["default"], true);

  SetDefaultRow("brother");
  list = ListPrintersWithDefault();
  EXPECT_EQ(list, json::parse(R"([{"name":"Zebra","status":"Ready"},
                                  {"name":"Brother","status":"Ready"}])"));

  // The mark never reaches the cached list.
  SetDefaultRow("Zebra");
  ListPrintersWithDefault();
  json cached;
  ASSERT_TRUE(GetCachedPrinters(cached));
  EXPECT_FALSE(cached[0].contains("default"));
}

TEST_F(PrinterListTest, PrintersRouteAnswersTheMarkedListOrAnEmptyArray) {
  tbtest::InProcessServer server;
  auto client = server.Client();
  auto empty = client.Get("/printers");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(empty->body, "[]");
  EXPECT_EQ(empty->get_header_value("Content-Type"), "application/json; charset=utf-8");

  spooler.printers = {Printer("Zebra"), Printer("标签 1", 0x81)};
  SetDefaultRow("标签 1");
  now += kPrinterCacheTtl + 1ms;
  auto r = client.Get("/printers");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body,
            "[\n    {\n        \"name\": \"Zebra\",\n        \"status\": \"Ready\"\n    },\n"
            "    {\n        \"default\": true,\n        \"name\": \"标签 1\",\n"
            "        \"status\": \"Paused Offline \"\n    }\n]");
}

}  // namespace
}  // namespace tb::printers

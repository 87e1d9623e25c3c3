// POST /print against the real executable, with small scripts in its program
// folder standing in for the print program.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <future>

#include "platform/md5.h"
#include "support/daemon_harness.h"
#include "support/print_programs.h"

namespace {

using nlohmann::json;
using tbtest::DaemonProcess;
using tbtest::TempFolder;

const std::string kDocument = "%PDF-1.4\n% a small test document\n%%EOF\n";

class PrintIntegration : public ::testing::Test {
 protected:
  json Print(const json& extra = json::object()) {
    json body{{"LabelContent", tbtest::Base64Encode(kDocument)}, {"PrinterName", "Test Printer"}};
    body.update(extra);
    return tbtest::PostPrint(client, body, &status);
  }

  TempFolder folder;
  httplib::Client client{"127.0.0.1", 3806};
  int status = 0;
};

TEST_F(PrintIntegration, ProgramGetsTheCommandLineAndItsExitCodeIsRecorded) {
  tbtest::PlacePrintProgram(folder, "pwd > args; for a in \"$@\"; do echo \"$a\" >> args; done\n"
                                    "exit $(cat exit-code 2>/dev/null || echo 0)");
  DaemonProcess daemon(folder);
  client.set_read_timeout(60, 0);

  const std::string md5 = tb::platform::Md5HexOfText(kDocument);
  EXPECT_EQ(Print({{"RequestTrackingNumber", 77}}), (json{{"status", "success"}, {"md5sum", md5}}));
  EXPECT_EQ(status, 200);
  const std::string cached = folder.path() + "/sumatrapdfcache/" +
                             tb::platform::Md5HexOfText(tbtest::Base64Encode(kDocument)) + ".pdf";
  EXPECT_EQ(tbtest::ReadFile(folder / "args"), folder.path() + "\n-silent\n-print-to\nTest Printer\n"
                                               "-print-settings\nfit\n" + cached + "\n");

  tbtest::WriteFile(folder / "exit-code", "1");
  EXPECT_EQ(Print(), (json{{"status", "error"}, {"message", "Print failed"}, {"code", 1}}));

  json history = tbtest::History(client);
  ASSERT_EQ(history.size(), 2u) << history;
  EXPECT_EQ(history[0]["code"], 1);
  EXPECT_EQ(history[1]["code"], 0);
  EXPECT_EQ(history[1]["md5sum"], md5);
  EXPECT_EQ(history[1]["RequestTrackingNumber"], "77");
  EXPECT_EQ(history[1]["filePath"], cached);
  EXPECT_EQ(history[1]["fileSize"], kDocument.size());
  EXPECT_EQ(history[1]["printerName"], "Test Printer");
}

TEST_F(PrintIntegration, MissingPrintProgramFailsWithoutARecordAndTheNextPrintWorks) {
  DaemonProcess daemon(folder);
  EXPECT_EQ(Print(), (json{{"status", "error"}, {"message", "SumatraPDF.exe not found or failed to start"}}));
  EXPECT_EQ(status, 200);
  EXPECT_NE(daemon.Stderr().find("CreateProcessOnUserDesktop failed: 2\n"), std::string::npos);
  EXPECT_EQ(tbtest::History(client), json::array());

  tbtest::PlacePrintProgram(folder, "exit 0");
  EXPECT_EQ(Print()["status"], "success");
  EXPECT_EQ(tbtest::History(client).size(), 1u);
}

TEST_F(PrintIntegration, TwoPrintsAtOnceRunOneAfterTheOther) {
  tbtest::PlacePrintProgram(folder, "echo start >> runs; sleep 1; echo end >> runs");
  DaemonProcess daemon(folder);
  auto post = [this](int n) {
    httplib::Client c("127.0.0.1", 3806);
    c.set_read_timeout(60, 0);
    json body{{"LabelContent", tbtest::Base64Encode(kDocument + std::to_string(n))},
              {"PrinterName", "P"}};
    return tbtest::PostPrint(c, body);
  };
  auto first = std::async(std::launch::async, post, 1);
  auto second = std::async(std::launch::async, post, 2);
  EXPECT_EQ(first.get()["status"], "success");
  EXPECT_EQ(second.get()["status"], "success");
  EXPECT_EQ(tbtest::ReadFile(folder / "runs"), "start\nend\nstart\nend\n");
  json history = tbtest::History(client);
  ASSERT_EQ(history.size(), 2u);
  // The second program started only after the first print was recorded.
  EXPECT_LE(history[1]["end_time"].get<std::string>(), history[0]["end_time"].get<std::string>());
}

TEST_F(PrintIntegration, PrintWithoutDatabaseIsStillAnswered) {
  std::filesystem::create_directory(folder / "database.db");  // cannot be opened as a file
  tbtest::PlacePrintProgram(folder, "exit 0");
  DaemonProcess daemon(folder);
  EXPECT_EQ(Print()["status"], "success");
  EXPECT_NE(daemon.Stderr().find("Cannot open DB: "), std::string::npos);
  EXPECT_NE(daemon.Stderr().find("INSERT prepare failed: database is not initialized\n"),
            std::string::npos)
      << daemon.Stderr();
}

TEST_F(PrintIntegration, IntakeRepliesThroughTheServer) {
  DaemonProcess daemon(folder);
  auto r = client.Post("/print", "{", "application/json");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->status, 200);
  EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*");
  json reply = json::parse(r->body);
  EXPECT_EQ(reply["status"], "error");
  EXPECT_TRUE(reply["msg"].is_string());
  EXPECT_NE(daemon.Stderr().find("Exception: "), std::string::npos);

  EXPECT_EQ(Print({{"fileExtension", "p.df"}})["message"], "fileExtension 非法！");
  EXPECT_EQ(status, 400);
  EXPECT_EQ(tbtest::PostPrint(client, json{{"filePath", folder / "nothing.pdf"}}, &status),
            (json{{"status", "error"}, {"message", "读取打印文件失败！"}, {"code", -2}}));
}

}  // namespace

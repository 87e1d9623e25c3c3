// A print program that does not finish: the daemon waits 15 s, asks the close
// helper (kill, SIGTERM) to end it, and when that does not work within 5 s
// kills it and cancels the jobs it may have queued (its document's, its user's).
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>
#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "support/daemon_harness.h"
#include "support/print_programs.h"
#include "platform/md5.h"
#include "support/test_pdf.h"

namespace {

using nlohmann::json;
using tbtest::DaemonProcess;
using tbtest::TempFolder;

// "tb-pdf-12" out of lp's "request id is tb-pdf-12 (1 file(s))".
std::string JobId(const std::string& lpOutput) {
  const size_t at = lpOutput.find("tb-pdf-");
  return at == std::string::npos ? std::string("?") : lpOutput.substr(at, lpOutput.find(' ', at) - at);
}

class PrintEscalation : public ::testing::Test {
 protected:
  json Print(const std::string& printer) {
    client.set_read_timeout(120, 0);
    json body{{"LabelContent", tbtest::Base64Encode("%PDF-1.4 hang")}, {"PrinterName", printer}};
    auto start = std::chrono::steady_clock::now();
    json reply = tbtest::PostPrint(client, body);
    took = std::chrono::steady_clock::now() - start;
    return reply;
  }

  // The print program, by the id it wrote: gone, and not left as a zombie.
  bool StillRunning() {
    std::string pid = tbtest::ReadFile(folder / "pid");
    if (pid.empty()) return false;
    return ::kill(std::stoi(pid), 0) == 0;
  }

  TempFolder folder;
  httplib::Client client{"127.0.0.1", 3806};
  std::chrono::steady_clock::duration took{};
};

const json kHung = {{"status", "error"}, {"message", "Print failed"}, {"code", -2}};

TEST_F(PrintEscalation, HungProgramEndedByTheCloseHelper) {
  tbtest::PlacePrintProgram(folder, "echo $$ > pid; exec sleep 120");
  DaemonProcess daemon(folder);
  EXPECT_EQ(Print("Nowhere"), kHung);
  EXPECT_GE(took, std::chrono::seconds(15));
  EXPECT_LT(took, std::chrono::seconds(19));  // no termination, no pauses
  EXPECT_NE(daemon.Stdout().find("Print process timeout, attempting graceful close.\n"), std::string::npos);
  EXPECT_EQ(daemon.Stdout().find("Graceful close failed"), std::string::npos);
  EXPECT_EQ(daemon.Stderr().find("CancelPrintJob failed"), std::string::npos);
  EXPECT_EQ(tbtest::History(client)[0]["code"], -2);
  EXPECT_FALSE(StillRunning());
}

// The queue clearing needs a real CUPS queue with a job waiting in it.
TEST_F(PrintEscalation, ProgramIgnoringTheHelperIsKilledAndTheQueueCleared) {
  const std::string env = std::string(TB_SOURCE_DIR) + "/scripts/cups-test-env.sh";
  if (::geteuid() != 0 || std::system((env + " >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "needs root and a local CUPS (scripts/cups-test-env.sh)";
  }
  ASSERT_EQ(std::system("cupsdisable tb-pdf"), 0);  // keep the waiting jobs waiting
  // What the killed program queued carries its document's name; another job
  // of the same user stays.
  const std::string document =
      tb::platform::Md5HexOfText(tbtest::Base64Encode("%PDF-1.4 hang")) + ".pdf";
  std::string job = tbtest::RunCommand("lp -d tb-pdf -t " + document + " /etc/hostname");
  ASSERT_NE(job.find("request id is tb-pdf-"), std::string::npos) << job;
  std::string other = tbtest::RunCommand("lp -d tb-pdf -t tb-escalation /etc/hostname");
  ASSERT_NE(other.find("request id is tb-pdf-"), std::string::npos) << other;

  // SIGTERM stays ignored across the exec, so the close helper cannot end it.
  tbtest::PlacePrintProgram(folder, "echo $$ > pid; trap '' TERM; exec sleep 120");
  DaemonProcess daemon(folder);
  EXPECT_EQ(Print("tb-pdf"), kHung);
  const std::string left = tbtest::RunCommand("lpstat -o tb-pdf");
  std::system("cancel -a tb-pdf; cupsenable tb-pdf");
  EXPECT_GE(took, std::chrono::seconds(15 + 5 + 1));
  EXPECT_NE(daemon.Stdout().find("Print process timeout, attempting graceful close.\n"
                                 "Graceful close failed, forcing termination.\n"),
            std::string::npos)
      << daemon.Stdout();
  EXPECT_EQ(daemon.Stderr().find("TerminateProcess failed"), std::string::npos);
  EXPECT_EQ(daemon.Stderr().find("CancelPrintJob failed"), std::string::npos) << daemon.Stderr();
  EXPECT_EQ(left.find(JobId(job) + " "), std::string::npos) << left;  // cancelled
  EXPECT_NE(left.find(JobId(other) + " "), std::string::npos) << left;  // not the print's: stays
  EXPECT_EQ(tbtest::History(client)[0]["code"], -2);
  EXPECT_FALSE(StillRunning());
}

}  // namespace

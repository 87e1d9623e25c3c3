// /cancel against a real CUPS queue holding jobs of two users: only the jobs
// of the account the daemon prints as (here the daemon itself, root, in a
// console run) go; the other user's job stays.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/daemon_harness.h"
#include "support/print_programs.h"
#include "support/test_pdf.h"

namespace {

using nlohmann::json;

TEST(CancelThroughCups, OnlyThePrintingAccountsJobsGo) {
  const std::string env = std::string(TB_SOURCE_DIR) + "/scripts/cups-test-env.sh";
  if (::geteuid() != 0 || std::system((env + " >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "needs root and a local CUPS (scripts/cups-test-env.sh)";
  }
  // A stopped queue keeps its jobs pending.
  ASSERT_EQ(std::system("cancel -a tb-label2 2>/dev/null; cupsdisable tb-label2 && cupsaccept tb-label2"), 0);
  tbtest::TempFolder docs;
  tbtest::WriteFile(docs / "label.zpl", "^XA^FDx^FS^XZ");
  ASSERT_EQ(std::system(("chmod 755 " + docs.path() + " && chmod 644 " + (docs / "label.zpl")).c_str()), 0);
  ASSERT_EQ(std::system(("lp -d tb-label2 -t mine " + (docs / "label.zpl") + " >/dev/null").c_str()), 0);
  ASSERT_EQ(std::system(("runuser -u tbuser -- lp -d tb-label2 -t theirs " + (docs / "label.zpl") +
                         " >/dev/null").c_str()),
            0);

  tbtest::TempFolder folder;
  tbtest::DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  client.set_read_timeout(30, 0);
  auto r = client.Get("/cancel?printerName=tb-label2");
  ASSERT_TRUE(r);
  EXPECT_EQ(json::parse(r->body),
            (json{{"count", 1}, {"printerName", "tb-label2"}, {"status", "success"}}));
  const std::string left = tbtest::RunCommand("lpstat -o tb-label2 2>&1");
  EXPECT_NE(left.find("tbuser"), std::string::npos) << left;
  EXPECT_EQ(left.find("root"), std::string::npos) << left;

  std::system("cancel -a tb-label2 2>/dev/null; cupsenable tb-label2");
}

}  // namespace

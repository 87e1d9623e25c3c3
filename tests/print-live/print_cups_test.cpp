// A PDF posted to /print travels through the real print program into a real
// CUPS queue (cups-pdf) and comes out as a PDF with the same pages.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "support/daemon_harness.h"
#include "support/print_programs.h"
#include "support/test_pdf.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const char* kPdfOut = "/var/spool/cups-pdf/tillerbrook";

std::set<std::string> PdfsIn(const std::string& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->path().extension() == ".pdf") names.insert(it->path().string());
  }
  return names;
}

TEST(PrintThroughCups, Base64PdfEndsAsAPdfWithTheSamePages) {
  const std::string env = std::string(TB_SOURCE_DIR) + "/scripts/cups-test-env.sh";
  if (::geteuid() != 0 || std::system((env + " >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "needs root and a local CUPS (scripts/cups-test-env.sh)";
  }
  ASSERT_EQ(std::system("cupsenable tb-pdf && cupsaccept tb-pdf"), 0);
  std::vector<tbtest::TestPage> pages;
  for (int i = 0; i < 3; ++i) {
    pages.push_back({"/MediaBox [0 0 288 432]", "0 0 0 rg 20 " + std::to_string(100 + 80 * i) + " 200 40 re f"});
  }
  const std::string pdf = tbtest::MakePdf(pages);

  tbtest::TempFolder folder;
  const fs::path built = fs::path(tbtest::BuiltDaemonPath()).parent_path() / "tillerbrook-print";
  fs::copy_file(built, folder / "tillerbrook-print");
  tbtest::DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  client.set_read_timeout(60, 0);

  const std::set<std::string> before = PdfsIn(kPdfOut);
  json reply = tbtest::PostPrint(client, json{{"LabelContent", "data:application/pdf;base64," +
                                                                   tbtest::Base64Encode(pdf)},
                                              {"PrinterName", "tb-pdf"},
                                              {"AutoScalePdfToPrinter", false}});
  ASSERT_EQ(reply["status"], "success") << reply << daemon.Stderr();

  std::string produced;
  for (int i = 0; i < 600 && produced.empty(); ++i) {
    for (const std::string& f : PdfsIn(kPdfOut)) {
      if (!before.count(f)) produced = f;
    }
    if (produced.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_FALSE(produced.empty()) << "no PDF from cups-pdf in " << kPdfOut;
  // cups-pdf writes the file in place; wait until pdfinfo can read all of it.
  std::string info;
  for (int i = 0; i < 100; ++i) {
    int rc = 1;
    info = tbtest::RunCommand("pdfinfo '" + produced + "' 2>/dev/null", &rc);
    if (rc == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(std::regex_search(info, std::regex("(^|\n)Pages:\\s+3\n"))) << info;
  fs::remove(produced);
}

}  // namespace

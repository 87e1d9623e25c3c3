// A base64 PDF with PDF fitting on, printed on a real CUPS label queue: the
// print program gets a copy whose page has the queue's printable-area shape,
// and the next print of the same document reuses it.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "support/daemon_harness.h"
#include "support/print_programs.h"
#include "support/test_pdf.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

TEST(PdfFitPrint, SquarePageIsPrintedFromAFittedCopyThenReused) {
  const std::string env = std::string(TB_SOURCE_DIR) + "/scripts/cups-test-env.sh";
  if (::geteuid() != 0 || std::system((env + " >/dev/null 2>&1").c_str()) != 0) {
    GTEST_SKIP() << "needs root and a local CUPS (scripts/cups-test-env.sh)";
  }
  tbtest::TempFolder folder;
  fs::copy_file(fs::path(tbtest::BuiltDaemonPath()).parent_path() / "libpdfium.so",
                folder / "libpdfium.so");
  // The stand-in print program records the document it was given (last argument).
  tbtest::PlacePrintProgram(folder, "for a in \"$@\"; do last=$a; done; echo \"$last\" >> printed");
  tbtest::DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  client.set_read_timeout(60, 0);

  const std::string pdf = tbtest::MakePdf({{"/MediaBox [0 0 288 288]", "0 g 0 0 288 144 re f"}});
  const json body{{"LabelContent", tbtest::Base64Encode(pdf)},
                  {"PrinterName", "tb-label"},
                  {"AutoScalePdfToPrinter", true}};
  json reply = tbtest::PostPrint(client, body);
  ASSERT_EQ(reply["status"], "success") << reply << daemon.Stderr();

  const std::string log = daemon.Stdout();
  std::smatch ratio, copy;
  ASSERT_TRUE(std::regex_search(log, ratio,
                                std::regex("\\[PdfFit\\] printer=tb-label .* ratio=([0-9.]+) ")))
      << log << daemon.Stderr();
  ASSERT_TRUE(std::regex_search(
      log, copy, std::regex("\\[PdfFit\\] adjusted PDF: (.*_printfit_v2_[0-9]+x[0-9]+\\.pdf)\n")))
      << log;
  const std::string fitted = copy[1];
  EXPECT_EQ(fs::path(fitted).parent_path(), fs::path(folder / "sumatrapdfcache"));
  EXPECT_EQ(tbtest::ReadFile(folder / "printed"), fitted + "\n");

  const tbtest::QpdfDump dump(fitted);
  const auto box = tbtest::BoxOf(dump.Page(0), "/CropBox");
  const double target = std::stod(ratio[1]);
  EXPECT_NEAR((box[2] - box[0]) / (box[3] - box[1]), target, target * 0.001);
  EXPECT_EQ(box[2] - box[0], 288);

  reply = tbtest::PostPrint(client, body);
  ASSERT_EQ(reply["status"], "success") << reply;
  EXPECT_NE(daemon.Stdout().find("[PdfFit] reuse cache: " + fitted + "\n"), std::string::npos);
  EXPECT_EQ(tbtest::ReadFile(folder / "printed"), fitted + "\n" + fitted + "\n");
  const json history = tbtest::History(client);
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0]["filePath"], fitted);
}

}  // namespace

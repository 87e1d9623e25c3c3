// Raw printing: the job steps every spooler's raw job runs through (the
// Windows calls are such steps), and /print with a fake spooler.
#include <gtest/gtest.h>

#include <fstream>

#include "fakes/fake_raw_spooler.h"
#include "platform/md5.h"
#include "printing/raw_print.h"
#include "store/config_store.h"
#include "support/print_programs.h"
#include "unit/print_fixture.h"

namespace tbtest {
namespace {

using nlohmann::json;
using namespace tb::printing;

TEST(RawJobRun, EveryByteGoesOutOrAFailedStepNamesItselfAndCancelsTheJob) {
  struct Case {
    const char* failAt;
    int writesBefore;
    size_t maxWrite;
    const char* error;  // null: the job succeeds
    const char* lastCall;
  };
  const Case cases[] = {
      {"", 0, 1000, nullptr, "finish"},  // short writes still deliver everything in order
      {"open", 0, SIZE_MAX, "open failed", "open"},
      {"start", 0, SIZE_MAX, "start failed", "start"},  // no job to cancel
      {"late", 0, SIZE_MAX, "start failed", "cancel 7"},
      {"write", 2, SIZE_MAX, "write failed", "cancel 7"},
      {"", 0, 0, "write made no progress", "cancel 7"},
      {"finish", 0, SIZE_MAX, "finish failed", "cancel 7"},
  };
  std::string data;
  for (size_t i = 0; data.size() < 3 * tb::platform::kRawWriteChunk + 5; ++i) {
    data += static_cast<char>(i * 7);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.failAt) + " max " + std::to_string(c.maxWrite));
    FakeRawSteps steps;
    steps.failAt = c.failAt;
    steps.writesBefore = c.writesBefore;
    steps.maxWrite = c.maxWrite;
    const auto result = tb::platform::RunRawJob(steps, "Zebra", "label.zpl", data);
    EXPECT_EQ(result.error, c.error ? c.error : "");
    EXPECT_EQ(result.ok, !c.error);
    EXPECT_EQ(steps.calls.back(), c.lastCall);
    if (!c.error) EXPECT_EQ(steps.written, data);
  }
}

class RawPrintTest : public PrintTest {
 protected:
  void SetUp() override {
    PrintTest::SetUp();
    platform.rawSpooler = &spooler;
    services.rawPrintingAllowed = tb::store::GetRawPrintingAllowed;
    ASSERT_TRUE(tb::store::SetRawPrintingAllowed("标签 1", true));
    ASSERT_TRUE(tb::store::SetRawPrintingAllowed("Office", false));
  }
  FakeRawSpooler spooler;
};

TEST_F(RawPrintTest, OnlyCleanDocumentsForSwitchedOnPrintersReachTheSpoolerUnchanged) {
  std::string label = "^XA^FO20,20^GFB,256,256,32,";
  for (int i = 0; i < 256; ++i) label += static_cast<char>(i);  // NUL and ESC included
  const std::string failure = "cupsCreateJob failed: not accepting jobs";
  struct Case {
    std::string document, extension, printer, failure;
    bool byPath;
    int code;
    std::string message;
  };
  const Case cases[] = {
      {label + "^FS^XZ", ".ZPL", "标签 1", "", false, 0, ""},
      {std::string("\x1b@Total\n\x1dV\0", 12), "escpos", "标签 1", "", true, 0, ""},
      {"^XA^XZ", "dpl", "标签 1", failure, false, kRawSpoolerFailed, "Print failed: " + failure},
      {"^XA^XZ", "zpl", "Office", "", false, kRawNotAllowed, kRawNotAllowedMessage},  // off
      {"^XA^XZ", "raw", "标签", "", false, kRawNotAllowed, kRawNotAllowedMessage},  // no row
      {"^XA^XZ", "tspl", "", "", true, kRawNotAllowed, kRawNotAllowedMessage},  // the default
      {"\x1b%-12345X@PJL\r\n", "prn", "标签 1", "", false, kRawControlLanguage,
       kRawControlLanguageMessage},
      {std::string(" \r\n\0%!PS", 8), "epl", "标签 1", "", false, kRawControlLanguage,
       kRawControlLanguageMessage},
      {"^XA^XZ\x1b%-12345X@PJL\r\n", "zpl", "标签 1", "", true, kRawControlLanguage,
       kRawControlLanguageMessage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension + " to '" + c.printer + "'");
    spooler.jobs.clear();
    spooler.failure = c.failure;
    const std::string path = folder / "label.doc";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.document;
    json body{{"fileExtension", c.extension}, {"PrinterName", c.printer}};
    if (c.byPath) body["filePath"] = path;
    if (!c.byPath) body["LabelContent"] = Base64Encode(c.document);
    const size_t recordsBefore = Records().size();

    const json reply = Post(body);
    EXPECT_EQ(reply.value("code", 0), c.code) << reply;
    EXPECT_EQ(reply.value("message", ""), c.message);
    if (c.code == 0) EXPECT_EQ(reply.value("md5sum", ""), tb::platform::Md5HexOfText(c.document));
    if (c.code == 0) EXPECT_EQ(reply.value("jobId", 0u), spooler.nextJobId - 1);
    const bool sent = c.code == 0 || c.code == kRawSpoolerFailed;
    ASSERT_EQ(spooler.jobs.size(), sent ? 1u : 0u);
    ASSERT_EQ(Records().size(), recordsBefore + (sent ? 1 : 0));
    if (!sent) continue;
    EXPECT_EQ(spooler.jobs[0].data, c.document);
    const std::string record = Records().back();
    EXPECT_EQ(record.substr(record.rfind('|')), "|" + std::to_string(c.code));
    if (c.byPath) {  // named as the caller named it, not as the cached copy
      EXPECT_EQ(spooler.jobs[0].title, "label.doc");
      EXPECT_NE(record.find("|" + path + "|"), std::string::npos) << record;
    }
  }
  EXPECT_TRUE(launcher.Launches().empty());  // no print program, no fitting
  // Other documents still go to the print program, also on this printer.
  Post(json{{"LabelContent", Base64Encode("%PDF-1.4")}, {"PrinterName", "标签 1"}});
  EXPECT_EQ(launcher.Launches().size(), 1u);
}

}  // namespace
}  // namespace tbtest

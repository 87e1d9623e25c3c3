// Raw printing: the job steps every spooler's raw job runs through (the
// Windows calls are such steps), and /print with a fake spooler.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <map>

#include "platform/md5.h"
#include "platform/raw_spooler.h"
#include "printing/raw_print.h"
#include "store/config_store.h"
#include "support/print_programs.h"
#include "unit/print_fixture.h"

namespace tbtest {
namespace {

using nlohmann::json;
using namespace tb::printing;

// One spooler's job steps: the step named by failAt answers "<step> failed"
// ("late": the start fails after making job 7); each write takes maxWrite bytes.
struct FakeRawSteps : tb::platform::RawJobSteps {
  std::string failAt, written;
  size_t maxWrite = SIZE_MAX;
  std::vector<std::string> calls;

  bool Open(const std::string&, std::string& e) override { return Step("open", e); }
  bool Start(const std::string&, uint32_t& id, std::string& e) override {
    if (failAt != "start") id = 7;
    return Step(failAt == "late" ? "late" : "start", e);
  }
  bool Write(const char* data, size_t size, size_t& taken, std::string& e) override {
    written.append(data, taken = std::min(size, maxWrite));
    return Step(written.size() > 2 * tb::platform::kRawWriteChunk ? "late write" : "write", e);
  }
  bool Finish(std::string& e) override { return Step("finish", e); }
  void Cancel(uint32_t id) override { calls.push_back("cancel " + std::to_string(id)); }
  bool Step(const std::string& step, std::string& error) {
    calls.push_back(step);
    if (step == failAt) error = step + " failed";
    return step != failAt;
  }
};

struct FakeRawSpooler : tb::platform::RawSpooler {
  std::vector<std::array<std::string, 3>> jobs;  // printer, title, data
  std::string failure;
  uint32_t nextJobId = 41;
  tb::platform::RawJobResult SendRawJob(const std::string& printer, const std::string& title,
                                        std::string_view data) override {
    jobs.push_back({printer, title, std::string(data)});
    if (!failure.empty()) return {false, 0, failure};
    return {true, nextJobId++, ""};
  }
};

TEST(RawJobRun, EveryByteGoesOutOrAFailedStepNamesItselfAndCancelsTheJob) {
  struct Case {
    const char* failAt;
    size_t maxWrite;
    const char *error, *lastCall;  // error null: the job succeeds
  } const cases[] = {
      {"", 1000, nullptr, "finish"},  // short writes still deliver everything in order
      {"start", SIZE_MAX, "start failed", "start"},  // no job to cancel
      {"late", SIZE_MAX, "late failed", "cancel 7"},
      {"late write", SIZE_MAX, "late write failed", "cancel 7"},
      {"", 0, "write made no progress", "cancel 7"},
      {"finish", SIZE_MAX, "finish failed", "cancel 7"},
  };
  std::string data(3 * tb::platform::kRawWriteChunk + 5, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.failAt) + " max " + std::to_string(c.maxWrite));
    FakeRawSteps steps;
    steps.failAt = c.failAt;
    steps.maxWrite = c.maxWrite;
    const auto result = tb::platform::RunRawJob(steps, "Zebra", "label.zpl", data);
    EXPECT_EQ(result.error, c.error ? c.error : "");
    EXPECT_EQ(steps.calls.back(), c.lastCall);
    if (!c.error) EXPECT_TRUE(result.ok && steps.written == data);
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
  struct Case {
    std::string document, extension, printer, failure;
    bool byPath;
    int code;
  } const cases[] = {
      {label + "^FS^XZ", ".ZPL", "标签 1", "", false, 0},
      {std::string("\x1b@Total\n\x1dV\0", 12), "escpos", "标签 1", "", true, 0},
      {"^XA^XZ", "dpl", "标签 1", "cupsCreateJob failed: gone", false, kRawSpoolerFailed},
      {"^XA^XZ", "zpl", "Office", "", false, kRawNotAllowed},  // switched off
      {"^XA^XZ", "tspl", "", "", true, kRawNotAllowed},        // the default printer: no row
      {"\x1b%-12345X@PJL\r\n", "prn", "标签 1", "", false, kRawControlLanguage},
      {std::string(" \r\n\0%!PS", 8), "epl", "标签 1", "", false, kRawControlLanguage},
      {"^XA^XZ\x1b%-12345X@PJL\r\n", "zpl", "标签 1", "", true, kRawControlLanguage},
      {std::string((64 << 20) + 1, '^'), "zpl", "标签 1", "", true, -2},  // too large to hold
  };
  const std::map<int, std::string> messages = {
      {0, ""}, {kRawSpoolerFailed, "Print failed: cupsCreateJob failed: gone"},
      {kRawNotAllowed, kRawNotAllowedMessage}, {kRawControlLanguage, kRawControlLanguageMessage},
      {-2, "读取打印文件失败！"}};
  const std::string path = folder / "label.doc";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extension + " to '" + c.printer + "'");
    spooler.jobs.clear();
    spooler.failure = c.failure;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << c.document;
    json body{{"fileExtension", c.extension}, {"PrinterName", c.printer}};
    body[c.byPath ? "filePath" : "LabelContent"] = c.byPath ? path : Base64Encode(c.document);
    const size_t recordsBefore = Records().size();

    const json reply = Post(body);
    EXPECT_EQ(reply.value("code", 0), c.code) << reply;
    EXPECT_EQ(reply.value("message", ""), messages.at(c.code));
    if (c.code == 0) EXPECT_EQ(reply.value("jobId", 0u), spooler.nextJobId - 1);
    const bool sent = c.code == 0 || c.code == kRawSpoolerFailed;
    ASSERT_EQ(spooler.jobs.size(), sent ? 1u : 0u);
    ASSERT_EQ(Records().size(), recordsBefore + (sent ? 1 : 0));
    if (!sent) continue;
    EXPECT_EQ(spooler.jobs[0][2], c.document);
    const std::string record = Records().back();
    EXPECT_EQ(record.substr(record.rfind('|')), "|" + std::to_string(c.code));
    if (c.byPath) {  // named as the caller named it, not as the cached copy
      EXPECT_EQ(spooler.jobs[0][1], "label.doc");
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

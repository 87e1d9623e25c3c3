#include <algorithm>
#include <random>
#include <regex>

#include "platform/command_line.h"

#include "platform/md5.h"
#include "print_fixture.h"

namespace {

using nlohmann::json;
using tb::platform::Md5HexOfText;
using tb::printing::kCloseHelper;
using tb::printing::kPrintProgram;
using tbtest::FakeProgram;
using tbtest::PrintTest;

const std::string kPrint = kPrintProgram;
const std::string kHelper = kCloseHelper;
const std::string kCopy = "path-" + Md5HexOfText("%PDF-1.4 doc") + ".pdf";

json Failed(int code) { return json{{"status", "error"}, {"message", "Print failed"}, {"code", code}}; }

class ExecutionTest : public PrintTest {
 protected:
  void SetUp() override {
    PrintTest::SetUp();
    tbtest::WriteFile(folder / "doc.pdf", "%PDF-1.4 doc");
    launcher.programs[kHelper] = FakeProgram{};
  }
  json PrintDoc() { return Post(json{{"filePath", folder / "doc.pdf"}, {"PrinterName", "P1"}}); }
  // Events other than configuration look-ups.
  std::vector<std::string> Steps() {
    std::vector<std::string> steps;
    for (auto& e : events.All()) {
      if (e.rfind("listConfig", 0) != 0 && e != "resolveDefaultPrinter") steps.push_back(e);
    }
    return steps;
  }
};

TEST(PrintCommandLine, ShapeAndQuoteRemoval) {
  EXPECT_EQ(tb::printing::BuildPrintCommandLine("Zebra \"GK\"", "shrink", "C:\\a \"b\".pdf"),
            "\"" + kPrint + "\" -silent -print-to \"Zebra GK\" -print-settings \"shrink\" \"C:\\a b.pdf\"");
  EXPECT_EQ(tb::printing::BuildCloseHelperCommandLine(4711), "\"" + kHelper + "\" 4711");
}

// Whatever a caller puts in a printer name or path, the print program gets it
// back as one argument (quotes removed), never as extra options.
TEST(PrintCommandLine, EveryValueArrivesAsExactlyOneArgument) {
  using Args = std::vector<std::string>;
  auto split = [](const std::string& printer, const std::string& document) {
    return tb::platform::SplitCommandLine(
        tb::printing::BuildPrintCommandLine(printer, "fit", document));
  };
  EXPECT_EQ(split("P\\", "D:\\dir\\"),
            (Args{kPrint, "-silent", "-print-to", "P\\", "-print-settings", "fit", "D:\\dir\\"}));
  EXPECT_EQ(tb::printing::BuildPrintCommandLine("P\\", "fit", "D:\\dir\\"),
            "\"" + kPrint + "\" -silent -print-to \"P\\\\\" -print-settings \"fit\" \"D:\\dir\\\\\"");
  EXPECT_EQ(split("P\\\" -print-settings \"noscale", "x.pdf"),
            (Args{kPrint, "-silent", "-print-to", "P\\ -print-settings noscale", "-print-settings",
                  "fit", "x.pdf"}));
  std::mt19937 rng(2024);
  const std::string alphabet = "aZ \t\"\\\\\\-\n/.:";
  for (int round = 0; round < 3000; ++round) {
    std::string printer, document;
    for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k) printer += alphabet[rng() % alphabet.size()];
    for (int k = 1 + static_cast<int>(rng() % 8); k > 0; --k) document += alphabet[rng() % alphabet.size()];
    auto unquoted = [](std::string t) {
      t.erase(std::remove(t.begin(), t.end(), '"'), t.end());
      return t;
    };
    ASSERT_EQ(split(printer, document), (Args{kPrint, "-silent", "-print-to", unquoted(printer),
                                              "-print-settings", "fit", unquoted(document)}))
        << printer << " | " << document;
  }
}

TEST_F(ExecutionTest, ProgramExitingWithZeroIsASuccessWithARecord) {
  EXPECT_EQ(PrintDoc(), (json{{"status", "success"}, {"md5sum", Md5HexOfText("%PDF-1.4 doc")}}));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(Steps(), (std::vector<std::string>{"launch " + kPrint, "wait " + kPrint + " 15000",
                                               "close " + kPrint}));
  // The program prints the daemon's copy of what it read; the record names
  // the path as given.
  EXPECT_EQ(launcher.Launches(),
            std::vector<std::string>{"\"" + kPrint + "\" -silent -print-to \"P1\" -print-settings \"fit\" \"" +
                                     CachePath(kCopy) + "\""});
  EXPECT_EQ(Records(), std::vector<std::string>{Md5HexOfText("%PDF-1.4 doc") + "||" +
                                                (folder / "doc.pdf") + "|12|P1|0"});
  std::regex stamp(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
  auto times = Query("SELECT print_start_time, print_end_time FROM print_files;");
  ASSERT_EQ(times.size(), 1u);
  std::string start = times[0].substr(0, 23), end = times[0].substr(24);
  EXPECT_TRUE(std::regex_match(start, stamp)) << start;
  EXPECT_TRUE(std::regex_match(end, stamp)) << end;
  EXPECT_LE(start, end);
  EXPECT_NE(infoLog.find("[Print] Sumatra print-settings=fit, autoScalePdfToPrinter=0"),
            std::string::npos);
}

TEST_F(ExecutionTest, ProgramsOwnExitCodeIsTheResult) {
  launcher.programs[kPrint].exitCode = 1;
  EXPECT_EQ(PrintDoc(), Failed(1));
  launcher.programs[kPrint].exitCode = 0xC0000005;  // a crash on Windows reads negative
  EXPECT_EQ(PrintDoc(), Failed(static_cast<int>(0xC0000005)));
  launcher.programs[kPrint].exitCode = 0;
  launcher.programs[kPrint].exitCodeFails = true;  // exited, but no code to read
  EXPECT_EQ(PrintDoc(), Failed(-1));
  auto codes = Query("SELECT code FROM print_files ORDER BY id;");
  EXPECT_EQ(codes, (std::vector<std::string>{"1", std::to_string(static_cast<int>(0xC0000005)), "-1"}));
}

TEST_F(ExecutionTest, HungProgramClosedByTheHelper) {
  launcher.programs[kPrint].runsForMs = std::nullopt;
  EXPECT_EQ(PrintDoc(), Failed(-2));
  EXPECT_EQ(Steps(), (std::vector<std::string>{
                         "launch " + kPrint, "wait " + kPrint + " 15000", "launch " + kHelper,
                         "closed " + kPrint, "wait " + kHelper + " 3000", "wait " + kPrint + " 5000",
                         "close " + kHelper, "close " + kPrint}));
  EXPECT_EQ(launcher.Launches()[1], "\"" + kHelper + "\" 4711 [hidden]");
  EXPECT_NE(infoLog.find("Print process timeout, attempting graceful close."), std::string::npos);
  EXPECT_EQ(infoLog.find("Graceful close failed"), std::string::npos);
  EXPECT_EQ(Query("SELECT code FROM print_files;"), std::vector<std::string>{"-2"});
}

TEST_F(ExecutionTest, HungProgramThatIgnoresTheHelperIsTerminatedAndItsQueueCleared) {
  launcher.programs[kPrint].runsForMs = std::nullopt;
  launcher.programs[kPrint].closesOnRequest = false;
  Post(json{{"filePath", folder / "doc.pdf"}, {"PrinterName", "Label \"7\""}});
  EXPECT_EQ(Steps(), (std::vector<std::string>{
                         "launch " + kPrint, "wait " + kPrint + " 15000", "launch " + kHelper,
                         "wait " + kHelper + " 3000", "wait " + kPrint + " 5000", "close " + kHelper,
                         "terminate " + kPrint + " 1", "wait " + kPrint + " 2000",
                         "cancel Label 7 (alice, " + kCopy + ")",
                         "close " + kPrint}));
  EXPECT_NE(infoLog.find("Print process timeout, attempting graceful close.\n"
                         "Graceful close failed, forcing termination.\n"),
            std::string::npos);
  EXPECT_EQ(Query("SELECT printerName, code FROM print_files;"),
            std::vector<std::string>{"Label \"7\"|-2"});
}

TEST_F(ExecutionTest, MissingHelperFailingTerminateAndFailingCancelStillRecord) {
  launcher.programs.erase(kHelper);
  launcher.programs[kPrint].runsForMs = std::nullopt;
  launcher.programs[kPrint].terminateFails = true;
  cancelError = "OpenPrinter failed. Error: 1801";
  EXPECT_EQ(PrintDoc(), Failed(-2));
  EXPECT_EQ(Steps(), (std::vector<std::string>{
                         "launch " + kPrint, "wait " + kPrint + " 15000", "launch " + kHelper,
                         "terminate " + kPrint + " 1", "wait " + kPrint + " 2000",
                         "cancel P1 (alice, " + kCopy + ")",
                         "close " + kPrint}));
  EXPECT_NE(errorLog.find("TerminateProcess failed: 5\n"), std::string::npos) << errorLog;
  EXPECT_NE(errorLog.find("CancelPrintJob failed: OpenPrinter failed. Error: 1801\n"),
            std::string::npos);
  EXPECT_EQ(Query("SELECT code FROM print_files;"), std::vector<std::string>{"-2"});
}

TEST_F(ExecutionTest, TimeLimitsAreTheOnesGiven) {
  services.limits = {std::chrono::milliseconds(40), std::chrono::milliseconds(30),
                     std::chrono::milliseconds(20), std::chrono::milliseconds(10),
                     std::chrono::milliseconds(0)};
  launcher.programs[kPrint].runsForMs = std::nullopt;
  launcher.programs[kPrint].closesOnRequest = false;
  PrintDoc();
  std::vector<std::string> waits;
  for (auto& s : Steps()) {
    if (s.rfind("wait", 0) == 0) waits.push_back(s.substr(s.rfind(' ') + 1));
  }
  EXPECT_EQ(waits, (std::vector<std::string>{"40", "30", "20", "10"}));
}

TEST_F(ExecutionTest, WaitErrorKeepsMinusOne) {
  launcher.programs[kPrint].waitFails = true;
  EXPECT_EQ(PrintDoc(), Failed(-1));
  EXPECT_NE(errorLog.find("WaitForSingleObject error: 6\n"), std::string::npos);
  EXPECT_EQ(Query("SELECT code FROM print_files;"), std::vector<std::string>{"-1"});
}

TEST_F(ExecutionTest, LaunchFailuresHaveTheirOwnReplyAndNoRecord) {
  launcher.programs.erase(kPrint);
  EXPECT_EQ(PrintDoc(),
            (json{{"status", "error"}, {"message", "SumatraPDF.exe not found or failed to start"}}));
  EXPECT_EQ(status, 200);
  EXPECT_NE(errorLog.find("CreateProcessOnUserDesktop failed: 2\n"), std::string::npos);
  // The launcher's own account comes first, as it was told.
  launcher.launchErrorText = "No active session found";
  PrintDoc();
  EXPECT_NE(errorLog.find("No active session found\nCreateProcessOnUserDesktop failed: 2\n"),
            std::string::npos);

  launcher.programs[kPrint].usableHandle = false;
  EXPECT_EQ(PrintDoc(), (json{{"status", "error"}, {"message", "Invalid process handle"}}));
  EXPECT_NE(errorLog.find("Invalid process handle after CreateProcess\n"), std::string::npos);
  EXPECT_EQ(events.All().back(), "close " + kPrint);

  EXPECT_TRUE(Records().empty());
  ASSERT_TRUE(tb::printing::PrintMutex().try_lock());
  tb::printing::PrintMutex().unlock();
  launcher.programs[kPrint].usableHandle = true;
  EXPECT_EQ(PrintDoc()["status"], "success");
}

TEST_F(ExecutionTest, PrintMutexIsHeldAroundTheProgramButNotTheCacheMutex) {
  std::vector<std::string> seen;
  launcher.onLaunch = [&](const std::string& line) {
    bool printFree = tb::printing::PrintMutex().try_lock();
    if (printFree) tb::printing::PrintMutex().unlock();
    bool cacheFree = tb::printing::CacheMutex().try_lock();
    if (cacheFree) tb::printing::CacheMutex().unlock();
    seen.push_back(std::string(printFree ? "print free" : "print held") +
                   (cacheFree ? ", cache free" : ", cache held") +
                   (line.find("[hidden]") != std::string::npos ? " helper" : ""));
  };
  launcher.programs[kPrint].runsForMs = std::nullopt;
  Post(json{{"LabelContent", "QUJD"}});
  EXPECT_EQ(seen, (std::vector<std::string>{"print held, cache free", "print held, cache free"}));
}

TEST_F(ExecutionTest, QuotesLeaveThePrinterNameButAPathWithOneIsRefused) {
  // Removing the quote from a path names another file than the one checked.
  tbtest::WriteFile(folder / "a\"b.pdf", "quoted!");
  EXPECT_EQ(Post(json{{"filePath", folder / "a\"b.pdf"}, {"PrinterName", "P1"}}),
            (json{{"status", "error"}, {"message", "读取打印文件失败！"}, {"code", -2}}));
  EXPECT_TRUE(launcher.Launches().empty());
  Post(json{{"filePath", folder / "doc.pdf"}, {"PrinterName", "A\"B\""}});
  EXPECT_EQ(launcher.Launches().back(), "\"" + kPrint + "\" -silent -print-to \"AB\" -print-settings \"fit\" \"" +
                                            CachePath(kCopy) + "\"");
  EXPECT_EQ(Query("SELECT filePath, fileSize, printerName FROM print_files;"),
            std::vector<std::string>{(folder / "doc.pdf") + "|12|A\"B\""});
}

TEST_F(ExecutionTest, FitSettingIsForcedOnlyForBase64PdfsWithAutoScale) {
  printSettings = "shrink";
  autoScale = true;
  Post(json{{"LabelContent", "QUJD"}});
  EXPECT_NE(errorLog.find("[Print] AUTO_SCALE_PDF_TO_PRINTER requires Sumatra fit; overriding "
                          "print-settings=shrink -> fit for this job.\n"),
            std::string::npos);
  EXPECT_NE(launcher.Launches().back().find("-print-settings \"fit\""), std::string::npos);
  EXPECT_NE(infoLog.find("[Print] Sumatra print-settings=fit, autoScalePdfToPrinter=1"),
            std::string::npos);

  Post(json{{"filePath", folder / "doc.pdf"}});
  EXPECT_EQ(errorLog.find("overriding"), std::string::npos);
  EXPECT_NE(launcher.Launches().back().find("-print-settings \"shrink\""), std::string::npos);

  Post(json{{"LabelContent", "QUJD"}, {"fileExtension", "png"}});
  EXPECT_EQ(errorLog.find("overriding"), std::string::npos);
  EXPECT_NE(launcher.Launches().back().find("-print-settings \"shrink\""), std::string::npos);

  Post(json{{"LabelContent", "QUJD"}, {"AutoScalePdfToPrinter", false}});
  EXPECT_NE(launcher.Launches().back().find("-print-settings \"shrink\""), std::string::npos);
}

TEST_F(ExecutionTest, RecordFailuresAreLoggedAndTheReplyStands) {
  {
    // Through the daemon's own connection, so that its prepare sees the change.
    auto& db = tb::store::Database::Shared();
    tb::MutexLock lock(db.Mutex());
    ASSERT_EQ(sqlite3_exec(db.Handle(), "DROP TABLE print_files;", nullptr, nullptr, nullptr), SQLITE_OK);
  }
  EXPECT_EQ(PrintDoc()["status"], "success");
  EXPECT_NE(errorLog.find("INSERT prepare failed: no such table: print_files\n"), std::string::npos);

  Exec("CREATE TABLE print_files (id INTEGER PRIMARY KEY, md5sum TEXT, RequestTrackingNumber "
       "TEXT, filePath TEXT, fileSize BIGINT, printerName TEXT, code INTEGER, print_start_time "
       "TEXT, print_end_time TEXT CHECK (print_end_time IS NULL));");
  launcher.programs[kPrint].exitCode = 3;
  EXPECT_EQ(PrintDoc(), Failed(3));
  EXPECT_NE(errorLog.find("INSERT print_files failed: CHECK constraint failed"), std::string::npos)
      << errorLog;

  tb::store::Database::Shared().Close();
  EXPECT_EQ(PrintDoc()["status"], "error");
  EXPECT_NE(errorLog.find("INSERT prepare failed: database is not initialized\n"),
            std::string::npos);
}

}  // namespace

// The print path in the printing account's name, with a scripted account:
// a caller's document is opened only while acting as the account, a printer
// the account does not have is refused before anything reaches the spooler or
// a program, and a killed print's clean-up cancels only the account's jobs of
// that print's document, while acting as the account.
#include <functional>

#include "platform/md5.h"
#include "print_fixture.h"

namespace {

using nlohmann::json;
using tb::platform::Md5HexOfText;
using tb::printing::kCloseHelper;
using tb::printing::kPrintProgram;
using tbtest::FakeProgram;
using tbtest::PrintTest;

const json kUnreadable = {{"status", "error"}, {"message", "读取打印文件失败！"}, {"code", -2}};
const json kNotTheUsersPrinter = {
    {"status", "error"}, {"message", "PrinterName 不是当前用户的打印机！"}, {"code", -3}};

TEST_F(PrintTest, PrintingAccountDecidesWhatIsOpenedAndWhereAPrintMayGo) {
  tbtest::WriteFile(folder / "doc.pdf", "%PDF-1.4 doc");
  tbtest::WriteFile(folder / "a\"b.pdf", "%PDF-1.4 quoted");
  const json success = {{"status", "success"}, {"md5sum", Md5HexOfText("%PDF-1.4 doc")}};
  using Acting = std::vector<std::string>;
  struct Case {
    const char* what;
    std::function<void()> arrange;
    json body;
    json reply;
    Acting acting;  // what was done as the account, up to the launch
  };
  const json path = {{"filePath", folder / "doc.pdf"}, {"PrinterName", "P1"}};
  const std::vector<Case> cases = {
      {"one of the account's printers", [&] { account.printers = {{"P1"}}; }, path, success,
       Acting{"act files", "revert"}},
      {"a printer of someone else", [&] { account.printers = {{"P2"}}; }, path,
       kNotTheUsersPrinter, Acting{"act files", "revert"}},
      {"another host's queue", [] {},
       {{"LabelContent", "QUJD"}, {"PrinterName", "\\\\evil\\q"}, {"AutoScalePdfToPrinter", true}},
       kNotTheUsersPrinter, Acting{}},
      {"the account's printers cannot be listed", [&] { account.printersError = "EnumPrinters failed: 5"; },
       path, kNotTheUsersPrinter, Acting{"act files", "revert"}},
      {"the account cannot be taken on", [&] { account.actError = "No active session found"; },
       path, kUnreadable, Acting{}},
      {"a quote in the path", [] {}, {{"filePath", folder / "a\"b.pdf"}, {"PrinterName", "P1"}},
       kUnreadable, Acting{}},
  };
  for (const Case& c : cases) {
    account.printers = std::vector<std::string>{"P1", "Default Printer"};
    account.printersError.clear();
    account.actError.clear();
    c.arrange();
    accountEvents.Clear();
    const size_t launchesBefore = launcher.Launches().size();
    Acting seenAtLaunch;
    launcher.onLaunch = [&](const std::string&) { seenAtLaunch = accountEvents.All(); };
    EXPECT_EQ(Post(c.body), c.reply) << c.what;
    const bool printed = c.reply == success;
    EXPECT_EQ(launcher.Launches().size(), launchesBefore + (printed ? 1 : 0)) << c.what;
    EXPECT_EQ(printed ? seenAtLaunch : accountEvents.All(), c.acting) << c.what;
  }
  // Only the print that went ahead is recorded, under the path it was given.
  EXPECT_EQ(Records(), std::vector<std::string>{Md5HexOfText("%PDF-1.4 doc") + "||" +
                                                (folder / "doc.pdf") + "|12|P1|0"});
  EXPECT_NE(errorLog.find("[Print] filePath refused (double quote in path): " +
                          (folder / "a\"b.pdf") + "\n"),
            std::string::npos);
}

TEST_F(PrintTest, KilledPrintCancelsOnlyTheAccountsJobsOfItsDocument) {
  tbtest::WriteFile(folder / "doc.pdf", "%PDF-1.4 doc");
  launcher.programs[kCloseHelper] = FakeProgram{};
  launcher.programs[kPrintProgram].runsForMs = std::nullopt;
  launcher.programs[kPrintProgram].closesOnRequest = false;
  const json body = {{"filePath", folder / "doc.pdf"}, {"PrinterName", "P1"}};
  const std::string cancel =
      "cancel P1 (alice, path-" + Md5HexOfText("%PDF-1.4 doc") + ".pdf)";

  accountEvents.Clear();
  launcher.onLaunch = [&](const std::string& line) {
    if (line.rfind("\"" + std::string(kPrintProgram) + "\"", 0) == 0) accountEvents.Clear();
  };
  Post(body);
  std::vector<std::string> cancels;
  for (const std::string& e : events.All()) {
    if (e.rfind("cancel", 0) == 0) cancels.push_back(e);
  }
  EXPECT_EQ(cancels, std::vector<std::string>{cancel});
  EXPECT_EQ(accountEvents.All(), (std::vector<std::string>{"act spooler", "revert"}));

  // Without an account to act as, nothing is cancelled at all.
  account.nameError = "No active session found";
  Post(body);
  size_t count = 0;
  for (const std::string& e : events.All()) count += e.rfind("cancel", 0) == 0;
  EXPECT_EQ(count, 1u);
  EXPECT_NE(errorLog.find("CancelPrintJob failed: No active session found\n"), std::string::npos);
  EXPECT_EQ(Query("SELECT code FROM print_files;"), (std::vector<std::string>{"-2", "-2"}));
}

}  // namespace

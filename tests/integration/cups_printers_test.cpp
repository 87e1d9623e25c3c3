// Printers and jobs on the real CUPS scheduler with the queues of
// scripts/cups-test-env.sh (tb-pdf, tb-label, tb-label2).
#include <httplib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/posix/cups_spooler.h"
#include "printers/printer_list.h"
#include "support/daemon_harness.h"

namespace {

using nlohmann::json;
using tb::platform::CupsSpooler;
using tbtest::DaemonProcess;
using tbtest::TempFolder;

// Runs a shell command; its standard output, or nullopt when it failed.
std::optional<std::string> Shell(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
  if (!pipe) return std::nullopt;
  std::string out;
  char buf[512];
  while (size_t n = std::fread(buf, 1, sizeof buf, pipe.get())) out.append(buf, n);
  if (::pclose(pipe.release()) != 0) {
    ADD_FAILURE() << command << ": " << out;
    return std::nullopt;
  }
  return out;
}

bool QueueExists(const std::string& name) {
  CupsSpooler spooler;
  return spooler.OpenPrinter(name, tb::platform::PrinterAccess::kNoDefaults) != nullptr;
}

json GetJson(httplib::Client& client, const std::string& path) {
  auto r = client.Get(path);
  if (!r) {
    ADD_FAILURE() << "no answer for " << path;
    return nullptr;
  }
  EXPECT_EQ(r->status, 200) << path;
  return json::parse(r->body);
}

const json* FindByName(const json& list, const std::string& name) {
  for (const json& entry : list) {
    if (entry.value("name", "") == name) return &entry;
  }
  return nullptr;
}

class CupsPrinters : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* q : {"tb-pdf", "tb-label", "tb-label2"}) {
      if (!QueueExists(q)) GTEST_SKIP() << "no CUPS queue " << q << " (run scripts/cups-test-env.sh)";
    }
  }
};

TEST_F(CupsPrinters, SchedulerListsTheTestQueuesWithKnownStatusTexts) {
  CupsSpooler spooler;
  std::vector<tb::platform::PrinterEntry> entries;
  ASSERT_EQ(spooler.EnumPrinters(entries), tb::platform::EnumResult::kOk);
  std::vector<std::string> names;
  for (const auto& e : entries) {
    ASSERT_TRUE(e.name);
    names.push_back(*e.name);
    // Every bit the scheduler's state maps to has a text of its own.
    EXPECT_EQ(tb::printers::PrinterStatusText(e.status).find("Other"), std::string::npos)
        << *e.name << " " << e.status;
  }
  for (const char* q : {"tb-pdf", "tb-label", "tb-label2"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), q), names.end()) << q;
  }
}

TEST_F(CupsPrinters, DaemonMarksTheDestinationThatLpdestNames) {
  TempFolder folder;
  tbtest::DaemonOptions options;
  options.env["LPDEST"] = "tb-label2";
  DaemonProcess daemon(folder, options);
  httplib::Client client("127.0.0.1", 3806);
  json printers = GetJson(client, "/printers");
  const json* label2 = FindByName(printers, "tb-label2");
  ASSERT_NE(label2, nullptr) << printers.dump();
  EXPECT_EQ(label2->value("default", false), true);
  for (const json& p : printers) {
    if (p["name"] != "tb-label2") EXPECT_FALSE(p.contains("default")) << p.dump();
  }
  EXPECT_EQ(GetJson(client, "/cancel?printerName=No-Such-Queue")["msg"],
            "OpenPrinter failed. Error: 1030");  // client-error-not-found
}

// A queue of its own, so that stopping it disturbs no other test.
class StoppedQueue : public CupsPrinters {
 protected:
  void SetUp() override {
    CupsPrinters::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "creating a queue needs root";
    ASSERT_TRUE(Shell("lpadmin -p " + name + " -E -v socket://127.0.0.1:9/ "
                    "-m drv:///sample.drv/zebra.ppd"));
    created = true;
  }
  void TearDown() override {
    if (created) Shell("lpadmin -x " + name);
  }
  const std::string name = "tb-stopped-" + std::to_string(::getpid());
  bool created = false;
};

TEST_F(StoppedQueue, DisabledQueueReadsPaused) {
  CupsSpooler spooler;
  std::vector<tb::platform::PrinterEntry> entries;
  ASSERT_EQ(spooler.EnumPrinters(entries), tb::platform::EnumResult::kOk);
  auto it = std::find_if(entries.begin(), entries.end(),
                         [&](const auto& e) { return e.name == name; });
  ASSERT_NE(it, entries.end());
  EXPECT_EQ(tb::printers::PrinterStatusText(it->status), "Ready");

  ASSERT_TRUE(Shell("cupsdisable " + name));
  TempFolder folder;
  DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  json printers = GetJson(client, "/printers");
  const json* stopped = FindByName(printers, name);
  ASSERT_NE(stopped, nullptr) << printers.dump();
  EXPECT_EQ((*stopped)["status"], "Paused ");
}

TEST_F(CupsPrinters, HeldJobIsListedAndCancelled) {
  TempFolder folder;
  const std::string title = "tb-held-" + std::to_string(::getpid());
  tbtest::WriteFile(folder / "label.txt", "held label\n");
  auto submitted = Shell("lp -d tb-label -H hold -t " + title + " " + (folder / "label.txt"));
  ASSERT_TRUE(submitted);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(*submitted, m, std::regex("tb-label-(\\d+)"))) << *submitted;
  const unsigned jobId = static_cast<unsigned>(std::stoul(m[1]));

  DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  json jobs = GetJson(client, "/jobs");
  const json* held = nullptr;
  for (const json& j : jobs) {
    if (j.value("jobId", 0u) == jobId) held = &j;
  }
  ASSERT_NE(held, nullptr) << jobs.dump();
  EXPECT_EQ((*held)["printerName"], "tb-label");
  EXPECT_EQ((*held)["document"], title);
  EXPECT_EQ((*held)["statusText"], "Paused");
  EXPECT_EQ((*held)["statusInt"], 1);
  EXPECT_FALSE((*held)["submitter"].get<std::string>().empty());

  json cancelled = GetJson(client, "/cancel?printerName=tb-label");
  EXPECT_EQ(cancelled["status"], "success") << cancelled.dump();
  EXPECT_EQ(cancelled["printerName"], "tb-label");
  EXPECT_GE(cancelled.value("count", 0), 1);

  for (const json& j : GetJson(client, "/jobs")) EXPECT_NE(j.value("jobId", 0u), jobId);
}

TEST(TestPage, ServedFromBesideTheExecutableOr404) {
  TempFolder folder;
  DaemonProcess daemon(folder);
  httplib::Client client("127.0.0.1", 3806);
  auto missing = client.Get("/test");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  EXPECT_EQ(missing->body, "Error: test.html not found in current directory.");

  const std::string shipped = tbtest::BuildDir() + "/test.html";
  ASSERT_TRUE(std::filesystem::exists(shipped)) << "the build copies test.html beside the executable";
  std::filesystem::copy_file(shipped, folder / "test.html");
  auto page = client.Get("/test");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(page->body, tbtest::ReadFile(shipped));
  // The page prints through the daemon's own routes.
  EXPECT_NE(page->body.find("fetch(DAEMON + \"/printers\""), std::string::npos);
  EXPECT_NE(page->body.find("fetch(DAEMON + \"/print\""), std::string::npos);
  EXPECT_NE(page->body.find("var SAMPLE_LABEL_PDF = \"JVBERi0"), std::string::npos);  // "%PDF-"
}

}  // namespace

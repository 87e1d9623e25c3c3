#include <gtest/gtest.h>

#include <stdexcept>

#include "printers/job_queue.h"
#include "printers_test_env.h"
#include "support/capture.h"
#include "support/in_process_server.h"

namespace tb::printers {
namespace {

using nlohmann::json;
using platform::JobControl;
using platform::PrinterAccess;
using tbtest::Job;
using tbtest::Printer;

// The jobs' owner as the builder makes them.
const JobFilter kOperator{"operator", ""};

TEST(JobStatusText, FirstMatchingBitWinsInTheFixedOrder) {
  EXPECT_EQ(JobStatusText(0x10 | 0x2), "Printing");  // printing beats error
  EXPECT_EQ(JobStatusText(0x1 | 0x2), "Paused");
  EXPECT_EQ(JobStatusText(0x2 | 0x4), "Error");
  EXPECT_EQ(JobStatusText(0x4), "Deleting");
  EXPECT_EQ(JobStatusText(0x20 | 0x40), "Offline");
  EXPECT_EQ(JobStatusText(0x40), "Paper Out");
  EXPECT_EQ(JobStatusText(0x8), "Pending");    // only spooling
  EXPECT_EQ(JobStatusText(0x80), "Pending");   // printed
  EXPECT_EQ(JobStatusText(0), "Pending");
}

class JobQueueTest : public tbtest::PrintersTest {};

TEST_F(JobQueueTest, ListedJobsCarryEveryMemberAndNamesForMissingTexts) {
  platform::JobEntry full = Job(7, 0x10, "label.pdf", "anna");
  full.totalPages = 3;
  full.pagesPrinted = 1;
  spooler.jobs["Zebra"] = {full, Job(8, 0x8, std::nullopt, std::nullopt)};

  json jobs = ListPrintJobs("Zebra");
  EXPECT_EQ(jobs, json::parse(R"([
    {"jobId":7,"document":"label.pdf","submitter":"anna","printerName":"Zebra",
     "statusInt":16,"totalPages":3,"pagesPrinted":1,"statusText":"Printing"},
    {"jobId":8,"document":"Untitled","submitter":"Unknown","printerName":"Zebra",
     "statusInt":8,"totalPages":0,"pagesPrinted":0,"statusText":"Pending"}])"));
  ASSERT_EQ(spooler.openCalls.size(), 1u);
  EXPECT_EQ(spooler.openCalls[0].access, PrinterAccess::kNoDefaults);
  EXPECT_EQ(spooler.enumJobsLimits, std::vector<uint32_t>{0xFFFFFFFFu});
}

TEST_F(JobQueueTest, ListingSwallowsSpoolerFailures) {
  EXPECT_EQ(ListPrintJobs("Missing"), json::array());
  spooler.jobs["Zebra"] = {Job(1)};
  spooler.enumJobsFails = true;
  EXPECT_EQ(ListPrintJobs("Zebra"), json::array());
  spooler.enumJobsFails = false;
  spooler.jobs["Zebra"].clear();
  EXPECT_EQ(ListPrintJobs("Zebra"), json::array());
}

TEST_F(JobQueueTest, CancelPausesThenDeletesEachJobAndCountsOnlyDeletions) {
  spooler.jobs["Zebra"] = {Job(1), Job(2), Job(3)};
  spooler.undeletableJobs = {2};
  std::string name = "Zebra";
  EXPECT_EQ(CancelPrintJob(name, kOperator), 2);
  EXPECT_EQ(name, "Zebra");

  std::vector<std::pair<uint32_t, JobControl>> calls;
  for (const auto& c : spooler.setJobCalls) calls.emplace_back(c.jobId, c.control);
  EXPECT_EQ(calls, (std::vector<std::pair<uint32_t, JobControl>>{
                       {1, JobControl::kPause}, {1, JobControl::kDelete},
                       {2, JobControl::kPause}, {2, JobControl::kDelete},
                       {3, JobControl::kPause}, {3, JobControl::kDelete}}));
  ASSERT_EQ(spooler.jobs["Zebra"].size(), 1u);
  EXPECT_EQ(spooler.jobs["Zebra"][0].jobId, 2u);
  EXPECT_EQ(spooler.openCalls[0].access, PrinterAccess::kAdminister);
}

TEST_F(JobQueueTest, CancelFallsBackToUseAccessAndAnEmptyQueueCountsZero) {
  spooler.printers = {Printer("Zebra")};
  spooler.accessDenied = {PrinterAccess::kAdminister};
  std::string name = "Zebra";
  EXPECT_EQ(CancelPrintJob(name, kOperator), 0);
  ASSERT_EQ(spooler.openCalls.size(), 2u);
  EXPECT_EQ(spooler.openCalls[1].access, PrinterAccess::kUse);
  EXPECT_TRUE(spooler.setJobCalls.empty());
}

TEST_F(JobQueueTest, OneCancelEmptiesAtMost65535Jobs) {
  std::deque<platform::JobEntry>& queue = spooler.jobs["Busy"];
  for (uint32_t id = 1; id <= 70000; ++id) queue.push_back(Job(id));
  std::string name = "Busy";
  EXPECT_EQ(CancelPrintJob(name, kOperator), 65535);
  EXPECT_EQ(spooler.enumJobsLimits, std::vector<uint32_t>{0xFFFFu});
  ASSERT_EQ(spooler.jobs["Busy"].size(), 70000u - 65535u);
  EXPECT_EQ(spooler.jobs["Busy"].front().jobId, 65536u);
}

TEST_F(JobQueueTest, CancelReportsOpenAndEnumerationFailuresWithTheErrorNumber) {
  spooler.failureCode = 1801;
  std::string name = "Missing";
  try {
    CancelPrintJob(name, kOperator);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "OpenPrinter failed. Error: 1801");
  }
  EXPECT_EQ(spooler.openCalls.size(), 2u);  // administer, then use

  spooler.jobs["Zebra"] = {Job(1)};
  spooler.enumJobsFails = true;
  spooler.failureCode = 5;
  name = "Zebra";
  try {
    CancelPrintJob(name, kOperator);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "EnumJobs failed. Error: 5");
  }
  // The fixture checks that the opened printer was closed on the way out.
}

TEST_F(JobQueueTest, RemoteNamesReachTheSpoolerOnlyWhenInstalled) {
  // A connection the machine has (listed) works as before; any other
  // "\\host\queue" would make the spooler log on to that host as the service.
  spooler.printers = {Printer("Zebra"), Printer("\\\\print01\\Labels")};
  spooler.jobs["\\\\print01\\Labels"] = {Job(1)};
  spooler.jobs["\\\\evil\\q"] = {Job(2)};
  spooler.jobs["//evil/q"] = {Job(3)};
  std::string name = "\\\\PRINT01\\labels";  // names compare without case
  spooler.jobs[name] = {Job(4)};
  EXPECT_EQ(CancelPrintJob(name, kOperator), 1);

  for (std::string remote : {"\\\\evil\\q", "//evil/q"}) {
    try {
      CancelPrintJob(remote, kOperator);
      ADD_FAILURE() << "no exception for " << remote;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "OpenPrinter failed. Error: 1801");
    }
    EXPECT_EQ(ListPrintJobs(remote), json::array());
  }
  for (const auto& call : spooler.openCalls) EXPECT_EQ(call.name.find("evil"), std::string::npos);
  EXPECT_EQ(spooler.jobs["\\\\evil\\q"].size(), 1u);
}

TEST_F(JobQueueTest, EmptyNameIsResolvedAndHandedBack) {
  spooler.printers = {Printer("Only")};
  spooler.jobs["Only"] = {Job(4)};
  std::string name;
  EXPECT_EQ(CancelPrintJob(name, kOperator), 1);
  EXPECT_EQ(name, "Only");
}

// Only the printing account's jobs go, and after a killed print only those of
// its document; jobs of other users, of other documents, and jobs without an
// owner stay.
TEST_F(JobQueueTest, CancelTakesOnlyTheOwnersJobs) {
  struct Case {
    JobFilter filter;
    std::vector<uint32_t> left;
  };
  const std::vector<Case> cases = {
      {{"alice", ""}, {2, 6}},
      {{"alice", "a.pdf"}, {2, 3, 5, 6}},
      {{"", ""}, {1, 2, 3, 4, 5, 6}},
      {{"carol", ""}, {1, 2, 3, 4, 5, 6}},
      {{"alic", ""}, {1, 2, 3, 4, 5, 6}},
  };
  for (const Case& c : cases) {
    spooler.jobs["Zebra"] = {Job(1, 0, "a.pdf", "alice"),           Job(2, 0, "a.pdf", "bob"),
                             Job(3, 0, "b.pdf", "alice"),           Job(4, 0, "C:\\cache\\a.pdf", "alice"),
                             Job(5, 0, std::nullopt, "alice"),      Job(6, 0, "a.pdf", std::nullopt)};
    std::string name = "Zebra";
    EXPECT_EQ(CancelPrintJob(name, c.filter), static_cast<int>(6 - c.left.size()))
        << c.filter.owner << "|" << c.filter.document;
    std::vector<uint32_t> left;
    for (const auto& job : spooler.jobs["Zebra"]) left.push_back(job.jobId);
    EXPECT_EQ(left, c.left) << c.filter.owner << "|" << c.filter.document;
  }
}

// On Windows the service names only its own printers, exactly as listed:
// another host's share, a URL, or a port-monitor or job form reaches as much.
TEST(UnlistedPrinterNames, OnWindowsOnlyExactListedNamesPass) {
  const json list = json::parse(R"([{"name":"Zebra"},{"name":"\\\\print01\\Labels"},{}])");
  struct Case {
    std::string name;
    bool exactRule, remoteRule;
  };
  const std::vector<Case> cases = {
      {"Zebra", false, false},
      {"\\\\print01\\Labels", false, false},
      {"\\\\PRINT01\\labels", true, false},
      {"zebra", true, false},
      {"Zebra,XcvMonitor Local Port", true, false},
      {"Zebra,Job 5", true, false},
      {"http://host/printers/q/.printer", true, false},
      {"\\\\evil\\q", true, true},
      {"//evil/q", true, true},
      {"", true, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsUnlistedPrinterIn(list, c.name, true), c.exactRule) << c.name;
    EXPECT_EQ(IsUnlistedPrinterIn(list, c.name, false), c.remoteRule) << c.name;
  }
}

class JobRoutesTest : public tbtest::PrintersTest {
 protected:
  json GetJson(const std::string& path, int status = 200) {
    auto r = server.Client().Get(path);
    EXPECT_TRUE(r);
    if (!r) return nullptr;
    EXPECT_EQ(r->status, status);
    EXPECT_EQ(r->get_header_value("Content-Type"), "application/json; charset=utf-8");
    return json::parse(r->body);
  }
  tbtest::InProcessServer server;
};

TEST_F(JobRoutesTest, JobsListsEveryPrinterInListOrder) {
  EXPECT_EQ(GetJson("/jobs"), json::array());

  spooler.printers = {Printer("B"), Printer(""), Printer("A")};
  spooler.jobs["A"] = {Job(1)};
  spooler.jobs["B"] = {Job(2), Job(3)};
  now += kPrinterCacheTtl + std::chrono::milliseconds(1);
  json jobs = GetJson("/jobs");
  ASSERT_EQ(jobs.size(), 3u);
  EXPECT_EQ(jobs[0]["printerName"], "B");
  EXPECT_EQ(jobs[1]["jobId"], 3);
  EXPECT_EQ(jobs[2]["printerName"], "A");
  for (const auto& call : spooler.openCalls) EXPECT_FALSE(call.name.empty());
}

TEST_F(JobRoutesTest, CancelWithoutANameEmptiesTheOnlyPrinterAndNamesIt) {
  spooler.printers = {Printer("Zebra")};
  spooler.jobs["Zebra"] = {Job(1), Job(2)};
  EXPECT_EQ(GetJson("/cancel"),
            json::parse(R"({"count":2,"printerName":"Zebra","status":"success"})"));
  EXPECT_EQ(GetJson("/cancel?printerName="),
            json::parse(R"({"count":0,"printerName":"Zebra","status":"success"})"));
}

TEST_F(JobRoutesTest, CancelOfAnUnknownPrinterAnswersTheErrorAndLogsIt) {
  spooler.failureCode = 1801;
  tbtest::CapturedFd err(2);
  json reply = GetJson("/cancel?printerName=No%20Such");
  EXPECT_EQ(reply, json::parse(R"({"msg":"OpenPrinter failed. Error: 1801","status":"error"})"));
  EXPECT_NE(err.Text().find("Exception: OpenPrinter failed. Error: 1801\n"), std::string::npos);
  EXPECT_EQ(spooler.openCalls.at(0).name, "No Such");
}

TEST_F(JobRoutesTest, CancelWithANameThatIsNotTextNeverFallsBackToTheDefault) {
  spooler.printers = {Printer("Zebra")};
  spooler.jobs["Zebra"] = {Job(1)};
  json reply = GetJson("/cancel?printerName=%FF");
  EXPECT_EQ(reply["status"], "error");
  EXPECT_EQ(spooler.jobs["Zebra"].size(), 1u);
}

}  // namespace
}  // namespace tb::printers

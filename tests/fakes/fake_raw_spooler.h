#pragma once
// Stand-ins for raw printing: a spooler that keeps what it was sent (or fails
// as scripted), and one spooler's job steps that fail, take short writes or
// stall as scripted, for RunRawJob.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/raw_spooler.h"

namespace tbtest {

class FakeRawSpooler : public tb::platform::RawSpooler {
 public:
  struct Job {
    std::string printer, title, data;
  };
  std::vector<Job> jobs;  // every job handed over, failed ones included
  std::string failure;    // when set, every job fails with this text
  uint32_t nextJobId = 41;

  tb::platform::RawJobResult SendRawJob(const std::string& printer, const std::string& title,
                                        std::string_view data) override {
    jobs.push_back({printer, title, std::string(data)});
    if (!failure.empty()) return {false, 0, failure};
    return {true, nextJobId++, ""};
  }
};

// Logs "open", "start", "write", "finish", "cancel <id>"; the failing step
// answers "<step> failed".
class FakeRawSteps : public tb::platform::RawJobSteps {
 public:
  std::string failAt;          // a step, or "late": start fails after making job 7
  int writesBefore = 0;        // good writes before a failing "write"
  size_t maxWrite = SIZE_MAX;  // the most one write takes; 0 stalls
  std::vector<std::string> calls;
  std::string written;

  bool Open(const std::string&, std::string& e) override {
    return Step("open", failAt == "open", e);
  }
  bool Start(const std::string&, uint32_t& id, std::string& e) override {
    if (failAt != "start") id = 7;
    return Step("start", failAt == "start" || failAt == "late", e);
  }
  bool Write(const char* data, size_t size, size_t& taken, std::string& e) override {
    if (!Step("write", failAt == "write" && writesBefore-- == 0, e)) return false;
    taken = std::min(size, maxWrite);
    written.append(data, taken);
    return true;
  }
  bool Finish(std::string& e) override { return Step("finish", failAt == "finish", e); }
  void Cancel(uint32_t id) override { calls.push_back("cancel " + std::to_string(id)); }

 private:
  bool Step(const std::string& call, bool fails, std::string& error) {
    calls.push_back(call);
    if (fails) error = call + " failed";
    return !fails;
  }
};

}  // namespace tbtest

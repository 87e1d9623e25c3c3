#include "fakes/fake_spooler.h"

#include <algorithm>

namespace tbtest {
namespace {

using namespace tb::platform;

class FakePrinterHandle : public PrinterHandle {
 public:
  FakePrinterHandle(std::string name, std::atomic<int>& open) : name_(std::move(name)), open_(open) {
    ++open_;
  }
  ~FakePrinterHandle() override { --open_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::atomic<int>& open_;
};

class FakeDeviceContext : public DeviceContext {
 public:
  explicit FakeDeviceContext(std::map<int, int> caps) : caps_(std::move(caps)) {}
  int GetDeviceCaps(int index) override {
    auto it = caps_.find(index);
    return it == caps_.end() ? 0 : it->second;
  }

 private:
  std::map<int, int> caps_;
};

template <typename T>
int CopyItems(const std::map<std::string, std::vector<T>>& table, const std::string& name,
              std::vector<T>* out) {
  auto it = table.find(name);
  if (it == table.end()) return -1;
  if (out) *out = it->second;
  return static_cast<int>(it->second.size());
}

}  // namespace

bool FakeSpooler::Fail() {
  lastError_ = failureCode;
  return false;
}

const std::string& FakeSpooler::HandleName(const PrinterHandle& printer) {
  return static_cast<const FakePrinterHandle&>(printer).name();
}

EnumResult FakeSpooler::EnumPrinters(std::vector<PrinterEntry>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++enumPrintersCalls;
  out.clear();
  if (enumPrintersFails) {
    Fail();
    return EnumResult::kFailed;
  }
  if (printers.empty()) return EnumResult::kEmpty;
  out = printers;
  return EnumResult::kOk;
}

bool FakeSpooler::GetDefaultPrinter(std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++getDefaultCalls;
  if (!defaultPrinter) return Fail();
  name = *defaultPrinter;
  return true;
}

std::unique_ptr<PrinterHandle> FakeSpooler::OpenPrinter(const std::string& name,
                                                        PrinterAccess access) {
  std::lock_guard<std::mutex> lock(mutex_);
  openCalls.push_back({name, access});
  const bool listed = std::any_of(printers.begin(), printers.end(),
                                  [&](const PrinterEntry& p) { return p.name && *p.name == name; });
  if ((!listed && !jobs.count(name)) || openFails.count(name) || accessDenied.count(access)) {
    Fail();
    return nullptr;
  }
  return std::make_unique<FakePrinterHandle>(name, openHandles);
}

EnumResult FakeSpooler::EnumJobs(PrinterHandle& printer, uint32_t maxJobs,
                                 std::vector<JobEntry>& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  enumJobsLimits.push_back(maxJobs);
  out.clear();
  if (enumJobsFails) {
    Fail();
    return EnumResult::kFailed;
  }
  const std::deque<JobEntry>& queue = jobs[HandleName(printer)];
  if (queue.empty()) return EnumResult::kEmpty;
  const size_t n = std::min<size_t>(queue.size(), maxJobs);
  out.assign(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
  return EnumResult::kOk;
}

bool FakeSpooler::SetJob(PrinterHandle& printer, uint32_t jobId, JobControl control) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string& name = HandleName(printer);
  setJobCalls.push_back({name, jobId, control});
  std::deque<JobEntry>& queue = jobs[name];
  auto it = std::find_if(queue.begin(), queue.end(),
                         [&](const JobEntry& j) { return j.jobId == jobId; });
  if (it == queue.end()) return Fail();
  if (control == JobControl::kPause) {
    it->status |= 0x1;
    return true;
  }
  if (undeletableJobs.count(jobId)) return Fail();
  queue.erase(it);
  return true;
}

int FakeSpooler::DocumentProperties(PrinterHandle&, const std::string& name, DevMode* out,
                                    const DevMode* in, uint32_t mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = documentDefaults.find(name);
  int result;
  if (it == documentDefaults.end()) {
    Fail();
    result = -1;
  } else if (mode == 0) {
    result = static_cast<int>(it->second.size());
  } else {
    if ((mode & DM_IN_BUFFER) && in) documentPropertiesInputs.push_back(*in);
    if ((mode & DM_OUT_BUFFER) && out) {
      const size_t n = std::min(out->size(), it->second.size());
      std::copy_n(it->second.begin(), n, out->begin());
    }
    result = 1;  // IDOK
  }
  documentPropertiesCalls.emplace_back(result, mode);
  return result;
}

bool FakeSpooler::GetPrinterDevMode(PrinterHandle& printer, int level, DevMode& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = printerDevModes.find({HandleName(printer), level});
  if (it == printerDevModes.end()) return Fail();
  out = it->second;
  return true;
}

int FakeSpooler::PaperIds(const std::string& name, std::vector<int16_t>* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = CopyItems(paperIds, name, out);
  if (n < 0) Fail();
  return n;
}

int FakeSpooler::PaperSizes(const std::string& name, std::vector<PaperSizeTenthsMm>* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = CopyItems(paperSizes, name, out);
  if (n < 0) Fail();
  return n;
}

int FakeSpooler::Resolutions(const std::string& name, std::vector<Resolution>* out) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = CopyItems(resolutions, name, out);
  if (n < 0) Fail();
  return n;
}

std::unique_ptr<DeviceContext> FakeSpooler::CreateDC(const std::string& name,
                                                     const DevMode& devmode) {
  std::lock_guard<std::mutex> lock(mutex_);
  createDcCalls.emplace_back(name, devmode);
  auto it = deviceCaps.find(name);
  if (it == deviceCaps.end()) {
    Fail();
    return nullptr;
  }
  return std::make_unique<FakeDeviceContext>(it->second);
}

uint32_t FakeSpooler::LastError() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastError_;
}

}  // namespace tbtest

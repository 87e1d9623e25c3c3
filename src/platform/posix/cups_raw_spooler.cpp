#include "platform/posix/cups_raw_spooler.h"

#include <cups/cups.h>

#include <cerrno>
#include <system_error>

#include "platform/posix/cups_spooler.h"

namespace tb::platform {
namespace {

// "<call> failed: <the scheduler's text>" for the calling thread's last
// CUPS failure.
std::string CupsFailure(const char* call) {
  const char* text = cupsLastErrorString();
  return std::string(call) + " failed: " + (text && *text ? text : "unknown error");
}

// The requesting user of this thread's CUPS requests (libcups keeps it per
// thread), put back on the way out: pool threads serve the next request.
class ScopedCupsUser {
 public:
  explicit ScopedCupsUser(const std::string& name) : previous_(cupsUser()) {
    if (!name.empty()) cupsSetUser(name.c_str());
  }
  ~ScopedCupsUser() { cupsSetUser(previous_.c_str()); }
  ScopedCupsUser(const ScopedCupsUser&) = delete;
  ScopedCupsUser& operator=(const ScopedCupsUser&) = delete;

 private:
  std::string previous_;
};

class CupsRawSteps : public RawJobSteps {
 public:
  bool Open(const std::string& printer, std::string& error) override {
    // A name with a slash would address another resource of the scheduler.
    if (printer.empty() || printer.find('/') != std::string::npos) {
      error = "cupsCreateJob failed: no printer named \"" + printer + "\"";
      return false;
    }
    printer_ = printer;
    http_ = CupsSpooler::ConnectLocal();
    if (!http_) {
      const int e = errno;
      error = "httpConnect2 failed: " +
              (e != 0 ? std::generic_category().message(e) : std::string("no local scheduler"));
      return false;
    }
    return true;
  }

  bool Start(const std::string& title, uint32_t& jobId, std::string& error) override {
    const int id = cupsCreateJob(http_.get(), printer_.c_str(), title.c_str(), 0, nullptr);
    if (id <= 0) {
      error = CupsFailure("cupsCreateJob");
      return false;
    }
    jobId = static_cast<uint32_t>(id);
    if (cupsStartDocument(http_.get(), printer_.c_str(), id, title.c_str(), CUPS_FORMAT_RAW, 1) !=
        HTTP_STATUS_CONTINUE) {
      error = CupsFailure("cupsStartDocument");
      return false;
    }
    return true;
  }

  bool Write(const char* data, size_t size, size_t& written, std::string& error) override {
    if (cupsWriteRequestData(http_.get(), data, size) != HTTP_STATUS_CONTINUE) {
      error = CupsFailure("cupsWriteRequestData");
      return false;
    }
    written = size;  // libcups writes all of it or fails
    return true;
  }

  bool Finish(std::string& error) override {
    if (!CupsSpooler::IppOk(cupsFinishDocument(http_.get(), printer_.c_str()))) {
      error = CupsFailure("cupsFinishDocument");
      return false;
    }
    return true;
  }

  void Cancel(uint32_t jobId) override {
    if (jobId == 0) return;
    // The job's own connection may be in the middle of a request body.
    http_.reset();
    CupsConnection http = CupsSpooler::ConnectLocal();
    if (http) cupsCancelJob2(http.get(), printer_.c_str(), static_cast<int>(jobId), 0);
  }

 private:
  std::string printer_;
  CupsConnection http_;
};

}  // namespace

RawJobResult CupsRawSpooler::SendRawJob(const std::string& printer, const std::string& title,
                                        std::string_view data) {
  std::string account, error;
  if (!account_.UserName(account, error)) {
    RawJobResult result;
    result.error = "no printing account: " + error;
    return result;
  }
  // The scheduler takes the job's owner from the requesting user name, which
  // it believes a local root client; the document is already in memory, so
  // nothing else needs the account's rights.
  ScopedCupsUser user(account);
  CupsRawSteps steps;
  return RunRawJob(steps, printer, title, data);
}

}  // namespace tb::platform

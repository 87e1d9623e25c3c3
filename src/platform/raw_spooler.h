#pragma once
// Raw jobs: a document's bytes handed to a printer's queue unchanged, for
// label and receipt printers that read their own language (ZPL, EPL, TSPL,
// DPL, ESC/POS). The Windows implementation writes through winspool's "RAW"
// datatype, the Linux one submits CUPS's raw format; tests use a fake.
#include <cstdint>
#include <string>
#include <string_view>

namespace tb::platform {

struct RawJobResult {
  bool ok = false;
  uint32_t jobId = 0;  // the spooler's job number on success
  std::string error;   // "<call> failed: <the spooler's reason>" on failure
};

class RawSpooler {
 public:
  virtual ~RawSpooler() = default;

  // Sends `data` as one raw job named `title` to `printer`, acting as the
  // printing account (the session's user in the service), so the job is
  // that account's. A job that was created but could not be completed is
  // cancelled: a failure never leaves half a document queued.
  virtual RawJobResult SendRawJob(const std::string& printer, const std::string& title,
                                  std::string_view data) = 0;
};

// The steps one spooler offers for a raw job. RunRawJob drives them in order
// and cancels on failure; each implementation only wraps its own calls.
class RawJobSteps {
 public:
  virtual ~RawJobSteps() = default;
  // Makes the printer ready for a job (opens it, connects).
  virtual bool Open(const std::string& printer, std::string& error) = 0;
  // Creates the job; `jobId` is set as soon as a job exists, also when a
  // later part of the start fails.
  virtual bool Start(const std::string& title, uint32_t& jobId, std::string& error) = 0;
  // Writes up to `size` bytes; `written` tells how many were taken.
  virtual bool Write(const char* data, size_t size, size_t& written, std::string& error) = 0;
  // Ends the document: the job is complete and may print.
  virtual bool Finish(std::string& error) = 0;
  // Removes the job `jobId` (0 when none was numbered yet) after a failure.
  virtual void Cancel(uint32_t jobId) = 0;
};

// The bytes handed to one Write call at most.
inline constexpr size_t kRawWriteChunk = size_t{64} << 10;

RawJobResult RunRawJob(RawJobSteps& steps, const std::string& printer, const std::string& title,
                       std::string_view data);

}  // namespace tb::platform

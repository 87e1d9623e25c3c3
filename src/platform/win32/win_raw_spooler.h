#pragma once
// Raw jobs on Windows: winspool's "RAW" datatype, written while the thread
// impersonates the session's user when the daemon runs as a service, so the
// job is that user's (as the print program's jobs are).
#include <string>

#include "platform/printing_account.h"
#include "platform/raw_spooler.h"

namespace tb::platform {

class WinRawSpooler : public RawSpooler {
 public:
  explicit WinRawSpooler(PrintingAccount& account) : account_(account) {}

  RawJobResult SendRawJob(const std::string& printer, const std::string& title,
                          std::string_view data) override;

 private:
  PrintingAccount& account_;
};

}  // namespace tb::platform

#pragma once
// Raw jobs on Linux: a CUPS job of the raw format on the local scheduler,
// submitted in the name of the printing account so that it is that account's
// job (it can list and cancel it, and the daemon's /cancel finds it).
#include <string>

#include "platform/printing_account.h"
#include "platform/raw_spooler.h"

namespace tb::platform {

class CupsRawSpooler : public RawSpooler {
 public:
  explicit CupsRawSpooler(PrintingAccount& account) : account_(account) {}

  RawJobResult SendRawJob(const std::string& printer, const std::string& title,
                          std::string_view data) override;

 private:
  PrintingAccount& account_;
};

}  // namespace tb::platform

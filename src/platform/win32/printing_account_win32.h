#pragma once
// The printing account on Windows: in the service the user of the active
// session, taken on by impersonating that user's token on the calling thread
// (with the user's profile, which holds the user's printer connections); in a
// console run the daemon itself, which already is that user.
#include "platform/printing_account.h"
#include "platform/spooler.h"
#include "platform/win32/launcher_win32.h"

namespace tb::platform {

class Win32PrintingAccount : public PrintingAccount {
 public:
  Win32PrintingAccount(Win32DesktopLauncher& launcher, MetricsChannel& channel, Spooler& spooler)
      : launcher_(launcher), channel_(channel), spooler_(spooler) {}

  std::unique_ptr<Impersonation> Act(ActingFor purpose, std::string& error) override;
  bool UserName(std::string& name, std::string& error) override;
  bool HasPrinter(const std::string& printer, bool& has, std::string& error) override;

 private:
  // The session whose user the service acts for; false (with the error) when
  // the daemon's own session cannot be told or nobody is logged on. `console`
  // is set when the daemon runs in a user's session itself.
  bool Session(uint32_t& session, bool& console, std::string& error);

  Win32DesktopLauncher& launcher_;
  MetricsChannel& channel_;
  Spooler& spooler_;
};

}  // namespace tb::platform

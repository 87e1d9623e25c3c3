#pragma once
// The printing account on Linux: the uid the launcher starts print programs
// as, taken on by the calling thread alone (effective uid, gid and groups).
#include "platform/posix/launcher_posix.h"
#include "platform/printing_account.h"

namespace tb::platform {

class PosixPrintingAccount : public PrintingAccount {
 public:
  explicit PosixPrintingAccount(PosixDesktopLauncher& launcher) : launcher_(launcher) {}

  std::unique_ptr<Impersonation> Act(ActingFor purpose, std::string& error) override;
  bool UserName(std::string& name, std::string& error) override;
  // Every name is the account's: a name only selects a queue of the local
  // scheduler and never makes anyone connect to another host.
  bool HasPrinter(const std::string& printer, bool& has, std::string& error) override;

 private:
  PosixDesktopLauncher& launcher_;
};

}  // namespace tb::platform

#pragma once
// A scriptable printing account for unit tests. Acting as the account and
// giving it up are written to the shared event list ("act files", "act
// spooler", "revert"), so a test sees what happened in the account's name.
#include <optional>
#include <string>
#include <vector>

#include "fakes/fake_launcher.h"
#include "platform/printing_account.h"

namespace tbtest {

class FakePrintingAccount : public tb::platform::PrintingAccount {
 public:
  explicit FakePrintingAccount(FakeEvents& events, std::string user = "alice")
      : userName(std::move(user)), events_(events) {}

  std::string userName;
  std::string actError;     // when set, the account cannot be taken on
  std::string nameError;    // when set, the name cannot be told
  // The account's printers; nullopt: every name is one of them.
  std::optional<std::vector<std::string>> printers;
  std::string printersError;  // when set, the printers cannot be listed

  std::unique_ptr<tb::platform::Impersonation> Act(tb::platform::ActingFor purpose,
                                                   std::string& error) override;
  bool UserName(std::string& name, std::string& error) override;
  bool HasPrinter(const std::string& printer, bool& has, std::string& error) override;

 private:
  FakeEvents& events_;
};

}  // namespace tbtest

#include "fakes/fake_printing_account.h"

#include <algorithm>

namespace tbtest {
namespace {

class FakeActing : public tb::platform::Impersonation {
 public:
  explicit FakeActing(FakeEvents& events) : events_(events) {}
  ~FakeActing() override { events_.Add("revert"); }

 private:
  FakeEvents& events_;
};

}  // namespace

std::unique_ptr<tb::platform::Impersonation> FakePrintingAccount::Act(
    tb::platform::ActingFor purpose, std::string& error) {
  if (!actError.empty()) {
    error = actError;
    return nullptr;
  }
  events_.Add(purpose == tb::platform::ActingFor::kFiles ? "act files" : "act spooler");
  return std::make_unique<FakeActing>(events_);
}

bool FakePrintingAccount::UserName(std::string& name, std::string& error) {
  if (!nameError.empty()) {
    error = nameError;
    return false;
  }
  name = userName;
  return true;
}

bool FakePrintingAccount::HasPrinter(const std::string& printer, bool& has, std::string& error) {
  if (!printersError.empty()) {
    error = printersError;
    return false;
  }
  has = !printers || std::find(printers->begin(), printers->end(), printer) != printers->end();
  return true;
}

}  // namespace tbtest

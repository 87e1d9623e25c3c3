#pragma once
// The account the daemon prints as, and acting in its name: the session's
// user in the service (the service's own print account on Linux when nobody
// is logged on), the daemon itself in a console run. A caller's document is
// opened, and jobs are cancelled, only with that account's rights, never with
// the daemon's own (root or SYSTEM).
#include <memory>
#include <string>

#include "platform/metrics_channel.h"

namespace tb::platform {

// What the calling thread is about to do as the account.
enum class ActingFor {
  kFiles,    // open a caller's path
  kSpooler,  // list and cancel the account's own jobs
};

class PrintingAccount {
 public:
  virtual ~PrintingAccount() = default;

  // Makes the calling thread act as the account until the result is
  // destroyed. Null with an error text when the account cannot be taken on;
  // then nothing may be done in its name. Reverting is not allowed to fail
  // quietly: a thread that cannot stop acting as the user ends the process.
  virtual std::unique_ptr<Impersonation> Act(ActingFor purpose, std::string& error) = 0;

  // The account's name as the spooler records the owner of a job; false with
  // an error text when it cannot be told.
  virtual bool UserName(std::string& name, std::string& error) = 0;

  // Whether `printer` names one of the account's own printers (a local
  // printer or one of its connections), asked in the account's context.
  // False with an error text when the account's printers cannot be listed.
  virtual bool HasPrinter(const std::string& printer, bool& has, std::string& error) = 0;
};

}  // namespace tb::platform

#include "platform/posix/printing_account_posix.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/metrics_channel_posix.h"

namespace tb::platform {

std::unique_ptr<Impersonation> PosixPrintingAccount::Act(ActingFor purpose, std::string& error) {
  // The scheduler judges each request by the user it names, and the daemon
  // cancels only jobs whose recorded owner is the account; other ids on this
  // thread would change neither.
  if (purpose == ActingFor::kSpooler) return std::make_unique<Impersonation>();
  uid_t uid = 0;
  if (!launcher_.PrintingUid(uid, error)) return nullptr;
  return PosixMetricsChannel::ImpersonateUser(uid, error);
}

bool PosixPrintingAccount::UserName(std::string& name, std::string& error) {
  uid_t uid = 0;
  if (!launcher_.PrintingUid(uid, error)) return false;
  long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? static_cast<size_t>(hint) : 16384);
  passwd pw{};
  passwd* found = nullptr;
  int rc;
  while ((rc = ::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found)) == ERANGE &&
         buf.size() < (1u << 20)) {
    buf.resize(buf.size() * 2);
  }
  if (rc != 0 || !found) {
    error = "getpwuid_r(" + std::to_string(uid) + ") failed: " +
            std::to_string(static_cast<uint32_t>(rc != 0 ? rc : ENOENT));
    return false;
  }
  name = pw.pw_name;
  return true;
}

bool PosixPrintingAccount::HasPrinter(const std::string&, bool& has, std::string&) {
  has = true;
  return true;
}

}  // namespace tb::platform

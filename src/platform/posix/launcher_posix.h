#pragma once
// Starting programs for the logged-in user on Linux. The sessions come from
// logind; in the service the program runs as the session's user with that
// user's own environment, in a console run as the daemon itself. CUPS needs
// no desktop, so a service with nobody logged in still prints, but never as
// root: the program runs as the service's own system account, or as nobody
// when that account is missing.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/launcher.h"

namespace tb::platform {

// One logind session.
struct LoginSession {
  std::string id;            // logind's session id, e.g. "2" or "c1"
  uint32_t uid = 0;          // the session's user
  bool active = false;       // in the foreground of its seat (or remote and active)
  std::string sessionClass;  // "user", "greeter", "lock-screen", "background", ...
  bool onSeat = false;       // attached to a seat: the local console or desktop
  bool remote = false;       // logged in over the network (SSH and the like)
};

// The account a headless service runs programs as, and the one used when it
// does not exist.
inline constexpr const char* kServiceAccount = "tillerbrook";
inline constexpr const char* kFallbackAccount = "nobody";

// Where the sessions come from; tests name their own.
class LoginSessionSource {
 public:
  virtual ~LoginSessionSource() = default;
  // False (errno set) when the list cannot be read.
  virtual bool ListSessions(std::vector<LoginSession>& sessions) = 0;
};

// The machine's sessions through sd-login.
class LogindSessionSource : public LoginSessionSource {
 public:
  bool ListSessions(std::vector<LoginSession>& sessions) override;
};

// The session number the daemon uses for a logind id: "7" gives 7, "c3"
// (sessions made without an audit session id) gives 0x80000003; any other
// form, or a number that does not fit, gives kNoSession.
uint32_t SessionNumber(const std::string& logindId);

class PosixDesktopLauncher : public DesktopLauncher {
 public:
  // `inServiceSession` tells whether the daemon runs as a service.
  // `programFolder` is searched first for a program named without a folder;
  // empty means the folder of the running executable.
  PosixDesktopLauncher(LoginSessionSource& sessions, std::function<bool()> inServiceSession,
                       std::string programFolder = {});

  // An active session of class "user" (not numbered 0), in this order: one on
  // a seat (someone at the machine), then a local one without a seat, then a
  // remote one (SSH); logind's own order within each. kNoSession when nobody
  // is logged in or the sessions cannot be read.
  uint32_t ActiveUserSession() override;

  // The user of a session from ActiveUserSession; false when it is gone or
  // the sessions cannot be read (errno from the session source).
  bool SessionUser(uint32_t session, uid_t& uid);

  // The program runs as the session's user in the service (as kServiceAccount
  // or kFallbackAccount when nobody is logged in and the daemon is root) and
  // as the daemon in a console run; its standard streams are the null device,
  // no other descriptor is inherited, signal dispositions and mask are the
  // defaults. The window mode has no meaning here. Null when the program
  // cannot be found or started (LastError).
  std::unique_ptr<ChildProcess> CreateProcessOnUserDesktop(const std::string& commandLine,
                                                           WindowMode mode) override;

  uint32_t LastError() override;
  std::string LastErrorText() override;

  // The uid programs are started as, which is also the account documents are
  // read as: the session's user in the service, the service's own account
  // (or nobody) when nobody is logged in and the daemon is root, the daemon
  // itself otherwise. False with an error text when it cannot be told.
  bool PrintingUid(uid_t& uid, std::string& error);

 private:
  LoginSessionSource& sessions_;
  std::function<bool()> inServiceSession_;
  std::string programFolder_;
};

}  // namespace tb::platform

#include "platform/win32/printing_account_win32.h"

#include <windows.h>
#include <wtsapi32.h>

#include <iterator>
#include <vector>

#include "platform/win32/wide_text.h"

namespace tb::platform {
namespace {

std::string Failed(const char* call) {
  return std::string(call) + " failed: " + std::to_string(static_cast<uint32_t>(GetLastError()));
}

// Printer names compare as the spooler compares them: without regard to case.
bool SameName(const std::string& a, const std::string& b) {
  const std::wstring wa = Utf8ToWide(a), wb = Utf8ToWide(b);
  if (wa.empty() || wb.empty()) return false;
  return CompareStringOrdinal(wa.c_str(), static_cast<int>(wa.size()), wb.c_str(),
                              static_cast<int>(wb.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

bool Win32PrintingAccount::Session(uint32_t& session, bool& console, std::string& error) {
  uint32_t own = 0;
  if (!launcher_.OwnSession(own)) {
    // Not knowing whether this is the service, acting now could be acting
    // as SYSTEM: fail instead.
    error = Failed("ProcessIdToSessionId");
    return false;
  }
  console = own != 0;
  if (console) {
    session = own;
    return true;
  }
  session = launcher_.ActiveUserSession();
  if (session == kNoSession) {
    error = "No active session found";
    return false;
  }
  return true;
}

std::unique_ptr<Impersonation> Win32PrintingAccount::Act(ActingFor, std::string& error) {
  uint32_t session = kNoSession;
  bool console = false;
  if (!Session(session, console, error)) return nullptr;
  if (console) return std::make_unique<Impersonation>();
  return channel_.ImpersonateSessionUser(session, error);
}

bool Win32PrintingAccount::UserName(std::string& name, std::string& error) {
  uint32_t session = kNoSession;
  bool console = false;
  if (!Session(session, console, error)) return false;
  if (console) {
    wchar_t buffer[257];  // UNLEN + 1
    DWORD size = static_cast<DWORD>(std::size(buffer));
    if (!GetUserNameW(buffer, &size)) {
      error = Failed("GetUserNameW");
      return false;
    }
    name = WideToUtf8(buffer);
  } else {
    LPWSTR user = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSUserName, &user,
                                     &bytes)) {
      error = Failed("WTSQuerySessionInformationW");
      return false;
    }
    name = user ? WideToUtf8(user) : std::string();
    WTSFreeMemory(user);
  }
  if (name.empty()) {
    error = "No user name for session " + std::to_string(session);
    return false;
  }
  return true;
}

bool Win32PrintingAccount::HasPrinter(const std::string& printer, bool& has, std::string& error) {
  has = false;
  uint32_t session = kNoSession;
  bool console = false;
  if (!Session(session, console, error)) return false;
  if (console) {
    // The daemon is the user: a name reaches nothing with rights that the
    // user did not have already.
    has = true;
    return true;
  }
  std::vector<PrinterEntry> printers;
  EnumResult listed;
  {
    std::unique_ptr<Impersonation> asUser = channel_.ImpersonateSessionUser(session, error);
    if (!asUser) return false;
    // Local printers and the user's own connections, as the user sees them.
    listed = spooler_.EnumPrinters(printers);
  }
  if (listed == EnumResult::kFailed) {
    error = "EnumPrinters failed: " + std::to_string(spooler_.LastError());
    return false;
  }
  for (const PrinterEntry& entry : printers) {
    if (entry.name && SameName(*entry.name, printer)) {
      has = true;
      break;
    }
  }
  return true;
}

}  // namespace tb::platform

#include "platform/launcher.h"

#include "platform/command_line.h"

namespace tb::platform {

uint32_t ChooseActiveSession(const std::vector<SessionState>& sessions, uint32_t fallback) {
  // Session 0 hosts services; disconnected and idle sessions have nobody at
  // a desktop to print for.
  for (const SessionState& s : sessions) {
    if (s.active && s.id != 0 && s.id != kNoSession) return s.id;
  }
  return fallback;
}

std::string WindowsProgramPath(const std::string& commandLine, const std::string& folder) {
  const std::vector<std::string> args = SplitCommandLine(commandLine);
  if (args.empty() || args[0].empty()) return {};
  const std::string& name = args[0];
  if (name.find_first_of("\\/:") != std::string::npos) return name;
  if (folder.empty()) return {};
  return folder + "\\" + name;
}

}  // namespace tb::platform

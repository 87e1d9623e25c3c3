#pragma once
// Whether a folder is safe to run a service from: only SYSTEM, Administrators
// and TrustedInstaller may change what is in it. The service runs as SYSTEM
// and loads libraries and programs from its folder, so anyone else who can
// add or replace a file there (or change who can) runs code as SYSTEM.
// The judgement reads access entries in the Windows form and is portable;
// each platform reads its own folder into these records.
#include <cstdint>
#include <string>
#include <vector>

namespace tb::platform {

enum class AceKind { kAllow, kDeny, kIgnored };

// One entry of a folder's access list, in list order.
struct AceRecord {
  AceKind kind = AceKind::kAllow;
  uint32_t mask = 0;          // access mask, generic bits not yet mapped
  std::string sid;            // "S-1-5-32-545"; empty when unreadable
  bool inheritOnly = false;   // applies to children only, not the folder
  bool inheritable = false;   // passed on to files or subfolders
};

struct FolderAccess {
  std::string path;          // as the program knows it
  bool remote = false;       // the volume is a network drive
  bool hasList = true;       // false: no access list, everyone has full access
  std::string ownerSid;      // the owner may always change the rights
  std::vector<AceRecord> entries;
};

// Empty when the folder is safe; otherwise why it is not (English, for the
// log and the installer's message).
std::string JudgeServiceFolder(const FolderAccess& folder);

// True for a path on another machine (\\server\share, \\?\UNC\...).
bool IsNetworkPath(const std::string& path);

}  // namespace tb::platform

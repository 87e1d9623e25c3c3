#include "platform/folder_acl.h"

#include <cctype>

namespace tb::platform {
namespace {

constexpr const char* kSystem = "S-1-5-18";
constexpr const char* kAdministrators = "S-1-5-32-544";
constexpr const char* kTrustedInstaller =
    "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";
constexpr const char* kCreatorOwner = "S-1-3-0";
constexpr const char* kCreatorGroup = "S-1-3-1";
constexpr const char* kOwnerRights = "S-1-3-4";
constexpr const char* kEveryone = "S-1-1-0";

// Rights that change what the folder holds or who may change it.
constexpr uint32_t kAddFile = 0x2;          // FILE_ADD_FILE / FILE_WRITE_DATA
constexpr uint32_t kAddSubfolder = 0x4;     // FILE_ADD_SUBDIRECTORY / FILE_APPEND_DATA
constexpr uint32_t kDeleteChild = 0x40;     // FILE_DELETE_CHILD
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kWriteDac = 0x40000;
constexpr uint32_t kWriteOwner = 0x80000;
constexpr uint32_t kChanging =
    kAddFile | kAddSubfolder | kDeleteChild | kDelete | kWriteDac | kWriteOwner;

constexpr uint32_t kGenericAll = 0x10000000;
constexpr uint32_t kGenericWrite = 0x40000000;
constexpr uint32_t kFileGenericWrite = 0x120116;  // FILE_GENERIC_WRITE
constexpr uint32_t kFileAllAccess = 0x1F01FF;

// Generic bits as the file system maps them.
uint32_t MapGeneric(uint32_t mask) {
  if (mask & kGenericAll) mask |= kFileAllAccess;
  if (mask & kGenericWrite) mask |= kFileGenericWrite;
  return mask;
}

bool Trusted(const std::string& sid) {
  return sid == kSystem || sid == kAdministrators || sid == kTrustedInstaller;
}

std::string RightsText(uint32_t bits) {
  std::string text;
  auto add = [&](uint32_t bit, const char* name) {
    if (!(bits & bit)) return;
    if (!text.empty()) text += ", ";
    text += name;
  };
  add(kAddFile, "add files");
  add(kAddSubfolder, "add folders");
  add(kDeleteChild | kDelete, "delete");
  add(kWriteDac, "change rights");
  add(kWriteOwner, "take ownership");
  return text;
}

// Walks the entries that apply to one target (the folder itself, or what it
// passes on to new files and folders) in list order, as the access check
// does: a right denied to a principal before it is allowed stays denied.
// Only a denial to the same principal or to everyone is counted, since group
// memberships are not known here.
std::string FirstUntrusted(const FolderAccess& folder, bool children) {
  std::vector<std::pair<std::string, uint32_t>> denied;
  uint32_t deniedToEveryone = 0;
  for (const AceRecord& ace : folder.entries) {
    if (children ? !ace.inheritable : ace.inheritOnly) continue;
    if (ace.kind == AceKind::kIgnored) continue;
    std::string sid = ace.sid;
    // Creator entries become the creator's own on a new child; creating one
    // already needs the right to add files, judged on the folder itself.
    if (sid == kCreatorOwner || sid == kCreatorGroup) continue;
    if (sid == kOwnerRights && !folder.ownerSid.empty()) sid = folder.ownerSid;
    const uint32_t mask = MapGeneric(ace.mask) & kChanging;
    if (ace.kind == AceKind::kDeny) {
      if (sid == kEveryone) deniedToEveryone |= mask;
      else denied.emplace_back(sid, mask);
      continue;
    }
    if (Trusted(sid)) continue;
    uint32_t granted = mask & ~deniedToEveryone;
    for (const auto& [who, bits] : denied)
      if (who == sid) granted &= ~bits;
    if (granted) {
      return (sid.empty() ? std::string("an unreadable entry") : sid) + " may " +
             RightsText(granted) + (children ? " in files and folders made inside it" : "");
    }
  }
  return {};
}

// The owner may change the rights unless an OWNER RIGHTS entry limits it.
bool OwnerLimited(const FolderAccess& folder) {
  for (const AceRecord& ace : folder.entries)
    if (ace.sid == kOwnerRights && !ace.inheritOnly && ace.kind != AceKind::kIgnored) return true;
  return false;
}

}  // namespace

bool IsNetworkPath(const std::string& path) {
  auto sep = [&](size_t i) { return i < path.size() && (path[i] == '\\' || path[i] == '/'); };
  if (!(sep(0) && sep(1))) return false;
  // \\?\C:\... and \\.\C:\... are local paths in the long form.
  if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && sep(3)) {
    const std::string rest = path.substr(4);
    if (rest.size() >= 2 && std::isalpha(static_cast<unsigned char>(rest[0])) && rest[1] == ':')
      return false;
    return true;  // \\?\UNC\server\share and device forms
  }
  return true;
}

std::string JudgeServiceFolder(const FolderAccess& folder) {
  if (folder.remote || IsNetworkPath(folder.path)) return "it is on the network";
  if (!folder.hasList) return "it has no access list, so everyone may change it";
  std::string reason = FirstUntrusted(folder, false);
  if (reason.empty()) reason = FirstUntrusted(folder, true);
  if (reason.empty() && !folder.ownerSid.empty() && !Trusted(folder.ownerSid) &&
      !OwnerLimited(folder))
    reason = "its owner " + folder.ownerSid + " may change its rights";
  return reason;
}

}  // namespace tb::platform

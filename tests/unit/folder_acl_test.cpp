#include "platform/folder_acl.h"

#include <gtest/gtest.h>

namespace tb::platform {
namespace {

constexpr uint32_t kFull = 0x1F01FF, kModify = 0x1301BF, kReadExecute = 0x1200A9;
constexpr uint32_t kGenericReadExecute = 0xA0000000, kGenericAll = 0x10000000;
const std::string kSy = "S-1-5-18", kBa = "S-1-5-32-544", kBu = "S-1-5-32-545",
                  kAu = "S-1-5-11", kCo = "S-1-3-0", kPackages = "S-1-15-2-1",
                  kTi = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

AceRecord Allow(const std::string& sid, uint32_t mask, bool inheritOnly = false) {
  return {AceKind::kAllow, mask, sid, inheritOnly, true};
}
AceRecord Deny(const std::string& sid, uint32_t mask) { return {AceKind::kDeny, mask, sid, false, true}; }

// Entries as a folder made by an elevated administrator inherits them.
std::vector<AceRecord> ProgramFilesChild() {
  return {Allow(kTi, kFull),       Allow(kTi, kGenericAll, true),
          Allow(kSy, kFull),       Allow(kSy, kGenericAll, true),
          Allow(kBa, kFull),       Allow(kBa, kGenericAll, true),
          Allow(kBu, kReadExecute), Allow(kBu, kGenericReadExecute, true),
          Allow(kCo, kGenericAll, true),
          Allow(kPackages, kReadExecute), Allow(kPackages, kGenericReadExecute, true)};
}

TEST(FolderAclTest, OnlySystemAdministratorsAndTrustedInstallerMayChangeTheFolder) {
  struct Case {
    const char* name;
    FolderAccess folder;
    std::string expected;  // empty: safe
  };
  auto folder = [](std::vector<AceRecord> entries, std::string owner = kBa,
                   std::string path = "C:\\Program Files\\Tillerbrook") {
    FolderAccess f;
    f.path = std::move(path);
    f.ownerSid = std::move(owner);
    f.entries = std::move(entries);
    return f;
  };
  std::vector<AceRecord> withUsersAddingFiles = ProgramFilesChild();
  withUsersAddingFiles.push_back(Allow(kBu, 0x2));
  FolderAccess noList = folder({});
  noList.hasList = false;
  FolderAccess mappedDrive = folder(ProgramFilesChild(), kBa, "Z:\\Tillerbrook");
  mappedDrive.remote = true;
  FolderAccess ownerRights = folder({Allow(kSy, kFull), Allow(kBa, kFull), Allow("S-1-3-4", kReadExecute)},
                                    "S-1-5-21-1-2-3-1001");

  const Case cases[] = {
      {"Program Files default", folder(ProgramFilesChild()), ""},
      {"set by the setup program",
       folder({Allow(kSy, kFull), Allow(kBa, kFull), Allow(kBu, kReadExecute)}), ""},
      {"child of C:\\",
       folder({Allow(kBa, kFull), Allow(kSy, kFull), Allow(kBu, kReadExecute), Allow(kAu, kModify),
               Allow(kAu, kModify, true)}),
       "S-1-5-11 may add files, add folders, delete"},
      {"child of D:\\",
       folder({Allow(kBa, kFull), Allow(kSy, kFull), Allow(kCo, kGenericAll, true),
               Allow(kBu, kReadExecute), Allow(kBu, 0x4), Allow(kBu, 0x2, true)}),
       "S-1-5-32-545 may add folders"},
      {"Users allowed only to add files", folder(withUsersAddingFiles), "S-1-5-32-545 may add files"},
      {"inherit-only write for Users reaches new files",
       folder({Allow(kSy, kFull), Allow(kBa, kFull), Allow(kBu, 0x40000000, true)}),
       "S-1-5-32-545 may add files, add folders in files and folders made inside it"},
      {"CREATOR OWNER inherit-only entry",
       folder({Allow(kSy, kFull), Allow(kBa, kFull), Allow(kCo, kFull, true)}), ""},
      {"deny before an allow of the same principal",
       folder({Allow(kSy, kFull), Allow(kBa, kFull), Deny(kBu, 0x50046), Allow(kBu, 0x1201BF)}), ""},
      {"deny after the allow comes too late",
       folder({Allow(kSy, kFull), Allow(kBa, kFull), Allow(kBu, 0x1201BF), Deny(kBu, 0x50046)}),
       "S-1-5-32-545 may add files, add folders"},
      {"deny to another principal does not count",
       folder({Deny(kBu, kFull), Allow(kAu, 0x40000)}), "S-1-5-11 may change rights"},
      {"network path", folder(ProgramFilesChild(), kBa, "\\\\fileserver\\apps\\Tillerbrook"),
       "it is on the network"},
      {"long UNC form", folder(ProgramFilesChild(), kBa, "\\\\?\\UNC\\fileserver\\apps"),
       "it is on the network"},
      {"long local form", folder(ProgramFilesChild(), kBa, "\\\\?\\C:\\Program Files\\Tillerbrook"),
       ""},
      {"mapped network drive", mappedDrive, "it is on the network"},
      {"no access list", noList, "it has no access list, so everyone may change it"},
      {"owned by a user", folder(ProgramFilesChild(), "S-1-5-21-1-2-3-1001"),
       "its owner S-1-5-21-1-2-3-1001 may change its rights"},
      {"owner limited by OWNER RIGHTS", ownerRights, ""},
      {"unreadable entry", folder({Allow("", kFull)}), "an unreadable entry may add files, add folders, "
                                                       "delete, change rights, take ownership"},
  };
  for (const Case& c : cases) EXPECT_EQ(JudgeServiceFolder(c.folder), c.expected) << c.name;
}

}  // namespace
}  // namespace tb::platform

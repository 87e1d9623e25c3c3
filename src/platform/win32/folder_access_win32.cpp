#include "platform/win32/folder_access_win32.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <string>

#include "platform/folder_acl.h"
#include "platform/win32/wide_text.h"

namespace tb::platform {
namespace {

std::string Failed(const char* call, DWORD error) {
  return std::string(call) + " failed: " + std::to_string(static_cast<uint32_t>(error));
}

std::string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!sid || !IsValidSid(sid) || !ConvertSidToStringSidW(sid, &text)) return {};
  std::unique_ptr<wchar_t, decltype(&LocalFree)> hold(text, &LocalFree);
  return WideToUtf8(text);
}

bool OnNetworkDrive(const std::wstring& path) {
  std::wstring volume(path.size() + 2, L'\0');
  if (!GetVolumePathNameW(path.c_str(), volume.data(), static_cast<DWORD>(volume.size())))
    return false;  // the path text is judged anyway
  return GetDriveTypeW(volume.c_str()) == DRIVE_REMOTE;
}

AceRecord ReadAce(const ACE_HEADER* header) {
  AceRecord ace;
  ace.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
  ace.inheritable = (header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) != 0;
  switch (header->AceType) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {  // a condition may hold: counted as granted
      auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
      ace.kind = AceKind::kAllow;
      ace.mask = allowed->Mask;
      ace.sid = SidText(const_cast<DWORD*>(&allowed->SidStart));
      break;
    }
    case ACCESS_DENIED_ACE_TYPE: {
      auto* denied = reinterpret_cast<const ACCESS_DENIED_ACE*>(header);
      ace.kind = AceKind::kDeny;
      ace.mask = denied->Mask;
      ace.sid = SidText(const_cast<DWORD*>(&denied->SidStart));
      break;
    }
    case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
    case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
      // Not made for files; whom it grants to is not read, so it counts as
      // granting to someone untrusted.
      auto* allowed = reinterpret_cast<const ACCESS_ALLOWED_OBJECT_ACE*>(header);
      ace.kind = AceKind::kAllow;
      ace.mask = allowed->Mask;
      break;
    }
    default:  // conditional denials may not apply; audit and label entries grant nothing
      ace.kind = AceKind::kIgnored;
      break;
  }
  return ace;
}

}  // namespace

std::string ServiceFolderProblemWin32(const std::string& folder) {
  // Judged by its name alone: reading it could mean asking another machine.
  FolderAccess access;
  access.path = folder;
  if (IsNetworkPath(folder)) return JudgeServiceFolder(access);
  const std::wstring wide = Utf8ToWide(folder);
  if (wide.empty()) return "the folder name is not valid text";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  const DWORD error = GetNamedSecurityInfoW(
      wide.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return Failed("GetNamedSecurityInfoW", error);
  std::unique_ptr<void, decltype(&LocalFree)> hold(descriptor, &LocalFree);

  access.remote = OnNetworkDrive(wide);
  access.ownerSid = SidText(owner);
  access.hasList = dacl != nullptr;
  if (dacl) {
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(dacl, &size, sizeof size, AclSizeInformation))
      return Failed("GetAclInformation", GetLastError());
    for (DWORD i = 0; i < size.AceCount; ++i) {
      void* entry = nullptr;
      if (!GetAce(dacl, i, &entry)) return Failed("GetAce", GetLastError());
      access.entries.push_back(ReadAce(static_cast<const ACE_HEADER*>(entry)));
    }
  }
  return JudgeServiceFolder(access);
}

}  // namespace tb::platform

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/posix/process_posix.h"

namespace tb::platform {

// The same rule in the system's terms: only root may change the folder.
std::string PosixProcess::ServiceFolderProblem(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0)
    return "stat failed: " + std::to_string(static_cast<uint32_t>(errno));
  if (st.st_uid != 0) return "its owner uid " + std::to_string(st.st_uid) + " may change it";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) return "its group or other users may add or delete files";
  return {};
}

}  // namespace tb::platform

#include "base/program_folder.h"

#include <mutex>

namespace tb {
namespace {
std::mutex g_folderMutex;
std::string g_programFolder;
}  // namespace

std::string ProgramFolder() {
  std::lock_guard<std::mutex> lock(g_folderMutex);
  return g_programFolder;
}

void SetProgramFolder(const std::string& folder) {
  std::lock_guard<std::mutex> lock(g_folderMutex);
  g_programFolder = folder;
}

}  // namespace tb

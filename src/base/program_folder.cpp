#include "base/program_folder.h"

#include "base/thread_annotations.h"

namespace tb {
namespace {
Mutex g_folderMutex;
std::string g_programFolder GUARDED_BY(g_folderMutex);
}  // namespace

std::string ProgramFolder() {
  MutexLock lock(g_folderMutex);
  return g_programFolder;
}

void SetProgramFolder(const std::string& folder) {
  MutexLock lock(g_folderMutex);
  g_programFolder = folder;
}

}  // namespace tb

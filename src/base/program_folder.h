#pragma once
// The executable's folder: the working directory, and where the database,
// cache, logs and companion programs live.
#include <string>

namespace tb {

// The folder (UTF-8, no trailing separator); empty until start-up has set it
// or when it could not be set. Safe from any thread.
std::string ProgramFolder();

// Start-up records the folder once it is the working directory; tests that
// run subsystems in-process set it themselves. Any thread; the later call
// wins, and readers see one value or the other, never a mix.
void SetProgramFolder(const std::string& folder);
inline void SetProgramFolderForTesting(const std::string& folder) { SetProgramFolder(folder); }

}  // namespace tb

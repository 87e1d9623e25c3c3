#pragma once
#include <string>

namespace tb {

// The daemon's main function: start-up, the listening loop, ordered shutdown.
// 0 after an orderly stop, -1 when the working directory cannot be set, -2
// when the port cannot be bound or the listening loop fails.
int daemon_main();

// The executable's folder (UTF-8, no trailing separator), also the working
// directory; empty until start-up has set it or when it could not be set.
std::string ProgramFolder();

// Tests that run subsystems in-process set the folder themselves.
void SetProgramFolderForTesting(const std::string& folder);

}  // namespace tb

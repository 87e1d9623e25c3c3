#pragma once
// Programs the daemon starts for the user live in one job object that ends
// them when the daemon's handle to it closes, which the system does when the
// daemon ends in any way (a crash, an abandoned stop, being killed): a hung
// print program does not outlive the daemon that waits for it.
#include <windows.h>

namespace tb::platform {

// Adds a process created with CREATE_SUSPENDED to the job and lets it run.
// On failure the process is ended (it must not run outside the job) and the
// Windows error is returned; 0 on success.
DWORD RunInUserJob(const PROCESS_INFORMATION& pi);

}  // namespace tb::platform

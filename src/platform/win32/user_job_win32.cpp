#include "platform/win32/user_job_win32.h"

namespace tb::platform {
namespace {

// Made once and never closed by the program: the system closes it when the
// process ends, and that is what ends the programs in it.
HANDLE UserJob(DWORD& error) {
  static DWORD made = ERROR_SUCCESS;
  static HANDLE job = [] {
    HANDLE h = CreateJobObjectW(nullptr, nullptr);
    if (!h) {
      made = GetLastError();
      return HANDLE{nullptr};
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(h, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      made = GetLastError();
      CloseHandle(h);
      return HANDLE{nullptr};
    }
    return h;
  }();
  error = made;
  return job;
}

}  // namespace

DWORD RunInUserJob(const PROCESS_INFORMATION& pi) {
  DWORD error = ERROR_SUCCESS;
  HANDLE job = UserJob(error);
  if (job && !AssignProcessToJobObject(job, pi.hProcess)) error = GetLastError();
  if (job && error == ERROR_SUCCESS && ResumeThread(pi.hThread) == static_cast<DWORD>(-1))
    error = GetLastError();
  if (!job || error != ERROR_SUCCESS) {
    TerminateProcess(pi.hProcess, 1);
    return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
  }
  return ERROR_SUCCESS;
}

}  // namespace tb::platform

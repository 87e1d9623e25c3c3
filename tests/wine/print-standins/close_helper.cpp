// Stands in for the close helper under Wine: ends the process whose id it is
// given, as the real helper would close it, and notes the id in
// close-args.txt.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  if (FILE* log = std::fopen("close-args.txt", "ab")) {
    std::fprintf(log, "%s\n", argv[1]);
    std::fclose(log);
  }
  DWORD pid = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (!process) return 1;
  BOOL ok = TerminateProcess(process, 0);
  CloseHandle(process);
  return ok ? 0 : 1;
}

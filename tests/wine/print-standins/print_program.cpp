// Stands in for the print program under Wine. It appends its command line to
// print-args.txt, and the arguments Windows' own splitter makes of it (joined
// by "|") to print-argv.txt, and then does what print-mode.txt (in the working
// folder) says: "exit <n>" exits with n, "hang" waits until it is ended.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main() {
  if (FILE* log = std::fopen("print-args.txt", "ab")) {
    std::fprintf(log, "%ls\n", GetCommandLineW());
    std::fclose(log);
  }
  int argc = 0;
  if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc)) {
    if (FILE* log = std::fopen("print-argv.txt", "ab")) {
      for (int i = 1; i < argc; ++i) std::fprintf(log, "%ls|", argv[i]);
      std::fprintf(log, "\n");
      std::fclose(log);
    }
    LocalFree(argv);
  }
  char mode[64] = "exit 0";
  if (FILE* f = std::fopen("print-mode.txt", "rb")) {
    size_t n = std::fread(mode, 1, sizeof mode - 1, f);
    mode[n] = '\0';
    std::fclose(f);
  }
  if (std::strncmp(mode, "hang", 4) == 0) {
    Sleep(INFINITE);
  }
  return std::atoi(mode + 5);
}

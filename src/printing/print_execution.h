#pragma once
// POST /print, second half: the print setting, the print program started on
// the user's desktop under PrintMutex, the escalation for a program that
// hangs, the print record and the final reply.
#include <cstdint>
#include <memory>
#include <string>

#include "base/thread_annotations.h"
#include "platform/launcher.h"
#include "printing/print_intake.h"
#include "printing/print_services.h"

namespace tb::printing {

// The program that prints a document silently, and the one that asks a hung
// print program to close (given its process id). Both are found beside the
// daemon first.
#ifdef _WIN32
inline constexpr const char* kPrintProgram = "SumatraPDF.exe";
inline constexpr const char* kCloseHelper = "Kestrelend.exe";
#else
inline constexpr const char* kPrintProgram = "tillerbrook-print";
inline constexpr const char* kCloseHelper = "kill";  // SIGTERM by default
#endif

// Result codes besides the program's own exit code.
inline constexpr int kWaitFailed = -1;
inline constexpr int kProgramHung = -2;

// While it is held, a print program of this daemon may be running. Never
// held together with CacheMutex; only DbMutex is taken inside it.
Mutex& PrintMutex();

// "<program>" -silent -print-to "<printer>" -print-settings "<setting>" "<document>",
// with double quotes removed from printer and document; each value is quoted
// so that the command-line splitter gives it back as exactly one argument
// (backslashes before a closing quote are doubled).
std::string BuildPrintCommandLine(const std::string& printer, const std::string& setting,
                                  const std::string& document);
// "<helper>" <pid>
std::string BuildCloseHelperCommandLine(uint32_t processId);

enum class LaunchOutcome {
  kNotStarted,      // the launcher failed; launchError tells why
  kNoUsableHandle,  // started, but nothing to wait on
  kRan,             // code holds the result
};

struct PrintRun {
  LaunchOutcome outcome = LaunchOutcome::kNotStarted;
  uint32_t launchError = 0;
  int code = kWaitFailed;
  std::unique_ptr<platform::ChildProcess> process;  // the print program's handles
};

// Starts the print program and waits for it; a program still running after
// limits.programExit is asked to close through the close helper, then
// terminated, and the printing account's jobs of `document` on `printer`
// (the command-line form) are cancelled. Must be called with PrintMutex held.
PrintRun RunPrintProgram(const std::string& commandLine, const std::string& printer,
                         const std::string& document, const PrintServices& services)
    REQUIRES(PrintMutex());

// Continues the intake with its result: prints, records and says what to answer.
// Gives back the request's cache lock before it takes PrintMutex.
PrintOutcome ExecutePrint(PrintRequest&& request, const PrintServices& services)
    EXCLUDES(PrintMutex());

}  // namespace tb::printing

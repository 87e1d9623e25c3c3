// Command lines: quoting arbitrary arguments and splitting the joined line
// gives them back, the print program's line included (any printer name and
// path is one argument, quotes removed); splitting arbitrary text never fails.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "platform/command_line.h"
#include "printing/print_execution.h"

using tb::platform::QuoteCommandLineArgument;
using tb::platform::SplitCommandLine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool quotedProgram = in.ConsumeBool();
  std::vector<std::string> args;
  const size_t count = in.ConsumeIntegralInRange<size_t>(0, 8);
  for (size_t i = 0; i < count; ++i) {
    std::string arg = in.ConsumeRandomLengthString(64);
    args.push_back(arg.substr(0, arg.find('\0')));  // a command line cannot carry NUL
  }
  const std::string program = quotedProgram ? "\"C:\\Program Files\\p.exe\"" : "p.exe";
  std::string line = program;
  for (const std::string& a : args) line += " " + QuoteCommandLineArgument(a);

  std::vector<std::string> split = SplitCommandLine(line);
  FUZZ_CHECK(!split.empty());
  FUZZ_CHECK(split[0] == (quotedProgram ? "C:\\Program Files\\p.exe" : "p.exe"));
  FUZZ_CHECK(split.size() == args.size() + 1);
  for (size_t i = 0; i < args.size(); ++i) FUZZ_CHECK(split[i + 1] == args[i]);

  const std::string printer = in.ConsumeRandomLengthString(64);
  const std::string document = in.ConsumeRandomLengthString(64);
  if (printer.find('\0') == std::string::npos && document.find('\0') == std::string::npos) {
    auto unquoted = [](std::string t) {
      std::erase(t, '"');
      return t;
    };
    const std::vector<std::string> printArgs =
        SplitCommandLine(tb::printing::BuildPrintCommandLine(printer, "fit", document));
    FUZZ_CHECK(printArgs == (std::vector<std::string>{tb::printing::kPrintProgram, "-silent",
                                                      "-print-to", unquoted(printer),
                                                      "-print-settings", "fit",
                                                      unquoted(document)}));
  }

  std::string rest = in.ConsumeRemainingBytesAsString();
  std::vector<std::string> raw = SplitCommandLine(rest);
  size_t total = 0;
  for (const std::string& a : raw) total += a.size();
  FUZZ_CHECK(total <= rest.size());
  return 0;
}

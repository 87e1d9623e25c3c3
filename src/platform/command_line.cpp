#include "platform/command_line.h"

namespace tb::platform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view s) {
  std::vector<std::string> args;
  if (s.empty()) return args;

  size_t i = 0;
  std::string program;
  if (s[0] == '"') {
    // Ends at the next quote, no matter what comes before it.
    for (i = 1; i < s.size() && s[i] != '"'; ++i) program.push_back(s[i]);
    if (i < s.size()) ++i;  // the closing quote
  } else {
    for (; i < s.size() && !IsBlank(s[i]); ++i) program.push_back(s[i]);
  }
  args.push_back(std::move(program));

  // Whatever follows the program name (even without a blank in between)
  // starts the next argument.
  while (i < s.size() && IsBlank(s[i])) ++i;
  if (i >= s.size()) return args;
  args.emplace_back();

  // quotes: 0 outside a quoted part, 1 inside; 2 (a quoted part just closed)
  // folds back to 0. backslashes: length of the current backslash run.
  int quotes = 0;
  size_t backslashes = 0;
  while (i < s.size()) {
    char c = s[i];
    if (IsBlank(c) && quotes == 0) {
      while (i < s.size() && IsBlank(s[i])) ++i;
      if (i < s.size()) args.emplace_back();
      backslashes = 0;
    } else if (c == '\\') {
      args.back().push_back(c);
      ++backslashes;
      ++i;
    } else if (c == '"') {
      std::string& arg = args.back();
      if (backslashes % 2 == 0) {
        arg.resize(arg.size() - backslashes / 2);
        ++quotes;
      } else {
        arg.resize(arg.size() - backslashes / 2 - 1);
        arg.push_back('"');
      }
      ++i;
      backslashes = 0;
      while (i < s.size() && s[i] == '"') {
        if (++quotes == 3) {
          arg.push_back('"');
          quotes = 0;
        }
        ++i;
      }
      if (quotes == 2) quotes = 0;
    } else {
      args.back().push_back(c);
      backslashes = 0;
      ++i;
    }
  }
  return args;
}

std::string QuoteCommandLineArgument(std::string_view arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(arg);
  }
  return EncloseCommandLineArgument(arg);
}

std::string EncloseCommandLineArgument(std::string_view arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // Every backslash before a quote is doubled and the quote escaped.
      out.append(backslashes * 2 + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  // Backslashes before the closing quote are doubled so they stay literal.
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

}  // namespace tb::platform

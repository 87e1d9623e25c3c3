#pragma once
// Command lines as one text, split and quoted with the rules Windows' own
// splitter (CommandLineToArgvW) applies, so that a command line built for the
// Windows programs means the same thing when it is started on Linux.
#include <string>
#include <string_view>
#include <vector>

namespace tb::platform {

// Splits a command line into its arguments, program name first.
// - The program name ends at the next space or tab; when it starts with a
//   quote it ends at the next quote instead, whatever lies between (no
//   backslash escapes in the program name).
// - Other arguments are separated by runs of spaces and tabs outside quotes.
//   2n backslashes before a quote give n backslashes and the quote opens or
//   closes a quoted part; 2n+1 backslashes before a quote give n backslashes
//   and a literal quote; backslashes not before a quote are literal. Inside a
//   quoted part, a doubled quote gives a literal quote and ends the part.
// An empty text gives no arguments (Windows would substitute the calling
// program's own path there; callers never pass an empty line).
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Quotes one argument (not the program name) so that SplitCommandLine gives
// it back unchanged: left alone when it has no space, tab or quote and is not
// empty, otherwise enclosed in quotes with quotes and the backslashes before
// them escaped.
std::string QuoteCommandLineArgument(std::string_view argument);

// The same, but always enclosed in quotes: a text without quotes and without
// a trailing backslash comes out as itself between two quotes.
std::string EncloseCommandLineArgument(std::string_view argument);

}  // namespace tb::platform

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/command_line.h"

namespace {

using Args = std::vector<std::string>;
using tb::platform::QuoteCommandLineArgument;
using tb::platform::SplitCommandLine;

TEST(SplitCommandLine, ProgramNameHasItsOwnRules) {
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\p.exe\" -a"), (Args{"C:\\Program Files\\p.exe", "-a"}));
  EXPECT_EQ(SplitCommandLine("C:\\dir\\p.exe"), (Args{"C:\\dir\\p.exe"}));
  // No escapes in the program name; its closing quote also ends it.
  EXPECT_EQ(SplitCommandLine("\"a\\\"b c"), (Args{"a\\", "b", "c"}));
  EXPECT_EQ(SplitCommandLine("\"unterminated program"), (Args{"unterminated program"}));
  EXPECT_EQ(SplitCommandLine("  leading"), (Args{"", "leading"}));
  EXPECT_EQ(SplitCommandLine("p  \t "), (Args{"p"}));
  EXPECT_EQ(SplitCommandLine(""), Args{});
}

TEST(SplitCommandLine, BackslashesAndQuotesInArguments) {
  EXPECT_EQ(SplitCommandLine("p a\\\\b \"c d\" e\\\"f"), (Args{"p", "a\\\\b", "c d", "e\"f"}));
  EXPECT_EQ(SplitCommandLine("p \"a\\\\\" b"), (Args{"p", "a\\", "b"}));      // 2n + quote
  EXPECT_EQ(SplitCommandLine("p \"a\\\\\\\" b\""), (Args{"p", "a\\\" b"}));   // 2n+1 + quote
  EXPECT_EQ(SplitCommandLine("p \"\" x"), (Args{"p", "", "x"}));
  EXPECT_EQ(SplitCommandLine("p \"a\"\"b\" c"), (Args{"p", "a\"b c"}));        // doubled quote
  EXPECT_EQ(SplitCommandLine("p \"\"\"a\"\"\" b"), (Args{"p", "\"a\"", "b"}));
  EXPECT_EQ(SplitCommandLine("p a\"b c\"d e"), (Args{"p", "ab cd", "e"}));
  // The print program's own line: a path ending in a backslash swallows its quote.
  EXPECT_EQ(SplitCommandLine("\"x\" -print-to \"P\" \"C:\\dir\\\""), (Args{"x", "-print-to", "P", "C:\\dir\""}));
}

TEST(QuoteCommandLineArgument, OnlyWhatNeedsIt) {
  EXPECT_EQ(QuoteCommandLineArgument("plain"), "plain");
  EXPECT_EQ(QuoteCommandLineArgument("back\\slash"), "back\\slash");
  EXPECT_EQ(QuoteCommandLineArgument(""), "\"\"");
  EXPECT_EQ(QuoteCommandLineArgument("a b"), "\"a b\"");
  EXPECT_EQ(QuoteCommandLineArgument("a\\ b\\"), "\"a\\ b\\\\\"");
  EXPECT_EQ(QuoteCommandLineArgument("say \"hi\""), "\"say \\\"hi\\\"\"");
  // Line feed and vertical tab are quoted too, so other splitters keep them.
  EXPECT_EQ(QuoteCommandLineArgument("a\nb"), "\"a\nb\"");
  EXPECT_EQ(QuoteCommandLineArgument("a\vb"), "\"a\vb\"");
}

TEST(QuoteCommandLineArgument, RandomArgumentsRoundTrip) {
  std::mt19937 rng(12345);
  const std::string alphabet = "ab \t\"\\\\\\x";
  for (int round = 0; round < 5000; ++round) {
    Args args{"prog dir\\p.exe"};
    std::string line = "\"" + args[0] + "\"";
    int count = static_cast<int>(rng() % 5);
    for (int i = 0; i < count; ++i) {
      std::string arg;
      int length = static_cast<int>(rng() % 9);
      for (int k = 0; k < length; ++k) arg.push_back(alphabet[rng() % alphabet.size()]);
      args.push_back(arg);
      line += std::string(1 + rng() % 2, rng() % 2 ? ' ' : '\t') + QuoteCommandLineArgument(arg);
    }
    if (rng() % 2) line += " \t";
    ASSERT_EQ(SplitCommandLine(line), args) << line;
  }
}

}  // namespace

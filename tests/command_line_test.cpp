#include "process/child_command.h"
#include "process/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <random>

namespace relauncher {
namespace {

std::wstring as_wide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}

TEST(Utf8ToWide, ReplacesIllFormedInputAndNeverFails) {
  const struct {
    std::string text;
    std::u16string expected;
  } cases[] = {
      {"", u""},
      {"x", u"x"},
      {"\xC3\xBC", u"\u00FC"},
      {"\xF0\x9F\x98\x80", u"\U0001F600"},
      {"\xFC", u"\uFFFD"},
      {"a\xF0\x9F\x98", u"a\uFFFD"},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(utf8_to_wide(c.text), c.expected) << c.text;
  }
}

TEST(QuoteArgument, QuotesEveryPieceAndKeepsBackslashesMeaningful) {
  const struct {
    std::string argument;
    std::u16string expected;
  } cases[] = {
      {"", uR"("")"},
      {"x", uR"("x")"},
      {"a b", uR"("a b")"},
      {R"(say "hi")", uR"("say \"hi\"")"},
      {R"(C:\dir\)", uR"("C:\dir\\")"},
      {R"(C:\dir\\)", uR"("C:\dir\\\\")"},
      {R"(a\"b)", uR"("a\\\"b")"},
      {R"(a\\"b)", uR"("a\\\\\"b")"},
      {R"(\\server\share)", uR"("\\server\share")"},
      {R"(a\b\\c)", uR"("a\b\\c")"},
      {R"(")", uR"("\"")"},
      {R"(\)", uR"("\\")"},
      {"a\tb", u"\"a\tb\""},
      {"\xC3\xBC", u"\"\u00FC\""},
      {"\xFC", u"\"\uFFFD\""},
      {"\xF0\x9F\x98\x80", u"\"\U0001F600\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quote_argument(c.argument), c.expected) << c.argument;
  }
}

TEST(BuildCommandLine, JoinsQuotedPiecesWithSingleSpaces) {
  const struct {
    std::string program;
    std::vector<std::string> arguments;
    std::u16string expected;
  } cases[] = {
      {R"(C:\Tmp\setup.exe)", {}, uR"("C:\Tmp\setup.exe")"},
      {R"(C:\Tmp\setup.exe)", {"/quiet", ""}, uR"("C:\Tmp\setup.exe" "/quiet" "")"},
      {"p", {"a b", "c"}, uR"("p" "a b" "c")"},
      {"", {}, uR"("")"},
      {"p", {R"(/D=C:\Program Files\App\)", "x"}, uR"("p" "/D=C:\Program Files\App\\" "x")"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(build_command_line(c.program, c.arguments), c.expected) << c.program;
  }
}

// CreateProcessW takes 32,767 units with the terminator: a line of 32,766 starts, one
// more is refused (ERROR_FILENAME_EXCED_RANGE) rather than started cut short.
TEST(ChildCommand, RefusesALineLongerThanWindowsTakes) {
  const struct {
    std::size_t length;
    std::uint32_t error;
  } cases[] = {{32765, 0}, {32766, 0}, {32767, 206}};
  for (const auto& c : cases) {
    // "p" "aa...a": the program's three units, a blank and the argument's two quotes.
    const ChildCommand command = child_command("p", {std::string(c.length - 6, 'a')});
    EXPECT_EQ(command.command_line.size(), c.length);
    EXPECT_EQ(command.error, c.error) << c.length;
  }
}

TEST(CommandLineBuffer, IsTheLineWithOneZeroUnit) {
  const std::u16string line = build_command_line(R"(C:\Tmp\setup.exe)", {});
  ASSERT_EQ(line.size(), 18u);
  const std::vector<char16_t> buffer = make_command_line_buffer(line);
  ASSERT_EQ(buffer.size(), 19u);
  EXPECT_EQ(std::u16string(buffer.begin(), buffer.end() - 1), line);
  EXPECT_EQ(buffer.back(), u'\0');
}

// Pieces chosen to stress the splitting rules: quotes, runs of backslashes before
// quotes and at the end, blanks, and multi-byte and ill-formed UTF-8.
std::string random_argument(std::mt19937& random) {
  static const char* const pieces[] = {
      "\"", "\\", "\\\\", "\\\\\\", " ", "\t", "a", "Z", "/x", "=", "'",
      "\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xFC", "\xE2\x82",
  };
  std::uniform_int_distribution<int> length(0, 8);
  std::uniform_int_distribution<std::size_t> pick(0, sizeof(pieces) / sizeof(pieces[0]) - 1);
  std::string argument;
  for (int n = length(random); n > 0; --n) {
    argument += pieces[pick(random)];
  }
  return argument;
}

// The first token is read without escapes, so only a program that could be a path
// (no quote, no trailing backslash) comes back unchanged; the real ones always can.
std::string random_program(std::mt19937& random) {
  std::string program;
  do {
    program = random_argument(random);
  } while (program.empty() || program.find('"') != std::string::npos || program.back() == '\\');
  return program;
}

std::vector<std::wstring> split_like_a_child(const std::u16string& line) {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(as_wide(line).c_str(), &count);
  std::vector<std::wstring> split(argv, argv + count);
  LocalFree(argv);
  return split;
}

TEST(BuildCommandLine, ChildrenSplitItBackIntoTheSameArguments) {
  std::mt19937 random(20261207);
  std::uniform_int_distribution<int> argument_count(0, 5);
  for (int round = 0; round < 3000; ++round) {
    const std::string program = random_program(random);
    std::vector<std::string> arguments(static_cast<std::size_t>(argument_count(random)));
    for (std::string& argument : arguments) {
      argument = random_argument(random);
    }
    const std::u16string line = build_command_line(program, arguments);
    const std::vector<std::wstring> split = split_like_a_child(line);
    ASSERT_EQ(split.size(), arguments.size() + 1) << "round " << round;
    EXPECT_EQ(split[0], as_wide(utf8_to_wide(program))) << "round " << round;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      ASSERT_EQ(split[i + 1], as_wide(utf8_to_wide(arguments[i]))) << "round " << round << ", argument " << i;
    }
  }
}

}  // namespace
}  // namespace relauncher

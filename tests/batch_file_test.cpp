// Batch files run through cmd.exe, whose reading of the command line differs from the
// C runtime's: exact lines, what counts as a batch file, and real scripts under the
// built tool, where an argument must never become a command of its own.

#include "process/batch_file.h"

#include <gtest/gtest.h>

#include "process/command_line.h"
#include "support.h"

namespace relauncher {
namespace {

TEST(BatchFile, IsRecognisedByItsExtensionAlone) {
  const struct {
    std::u16string program;
    bool batch;
  } cases[] = {
      {u"u.BAT", true},      {u"u.cmd", true},     {u"u.bat.", true},  {u"u.bat ", true},
      {u"C:\\d\\u.Cmd. .", true}, {u"u.bat.exe", false}, {u"u", false},  {u"u.bats", false},
      {u"C:\\x.bat\\u.exe", false}, {u"", false},  {u". .", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_batch_file(c.program), c.batch) << std::string(c.program.begin(), c.program.end());
  }
}

TEST(BatchFile, WritesEachArgumentTheWayCmdReadsItBack) {
  const std::u16string head = uR"(/e:ON /v:OFF /d /c ""C:\s\t.bat")";
  const struct {
    std::vector<std::string> arguments;
    std::u16string rest;
  } cases[] = {
      {{}, u""},
      {{"plain-1.0/x:y@z_#$*+?", R"(\\server\share)", "\xC3\xBC"}, uR"( plain-1.0/x:y@z_#$*+? \\server\share ü)"},
      {{"", "a b", "k=v", "a,b;c"}, uR"( "" "a b" "k=v" "a,b;c")"},
      {{R"(C:\dir\)", R"(C:\dir\\)"}, uR"( "C:\dir\\" "C:\dir\\\\")"},
      {{R"(say "hi")", R"(a\"b)", R"(")"}, uR"( "say ""hi""" "a\\""b" """")"},
      {{"x&y|z<a>b^(c)!d!"}, uR"( "x&y|z<a>b^(c)!d!")"},
  };
  for (const auto& c : cases) {
    const BatchCommandLine line = build_batch_command_line(uR"(C:\s\t.bat)", c.arguments);
    EXPECT_EQ(line.refusal, "");
    EXPECT_EQ(line.parameters, head + c.rest + u"\"");
  }
}

TEST(BatchFile, RefusesWhatCannotReachTheScriptSafely) {
  const struct {
    std::u16string script;
    std::vector<std::string> arguments;
  } cases[] = {
      {uR"(C:\s\t.bat)", {"ok", "x%PATH%y"}},
      {uR"(C:\s\t.bat)", {"100%"}},
      {uR"(C:\s\t.bat)", {"a\nb"}},
      {uR"(C:\s\t.bat)", {"a\rb"}},
      {uR"(C:\100%\t.bat)", {}},
      {uR"(C:\s\t.bat)", {std::string(8160, 'a')}},
      {uR"(C:\s\t.bat)", std::vector<std::string>(2800, "a b")},
  };
  for (const auto& c : cases) {
    const BatchCommandLine line = build_batch_command_line(c.script, c.arguments);
    EXPECT_NE(line.refusal, "");
    EXPECT_EQ(line.parameters, u"");
  }
  // Just within the limit: "cmd.exe " and the parameters come to 8191 characters.
  const std::u16string head = uR"(/e:ON /v:OFF /d /c ""C:\s\t.bat" )";
  const std::size_t room = cmd_line_limit - 8 - head.size() - 1;
  EXPECT_EQ(build_batch_command_line(uR"(C:\s\t.bat)", {std::string(room, 'a')}).refusal, "");
  EXPECT_NE(build_batch_command_line(uR"(C:\s\t.bat)", {std::string(room + 1, 'a')}).refusal, "");
}

std::wstring quoted(const std::string& argument) {
  const std::u16string piece = quote_argument(argument);
  return std::wstring(piece.begin(), piece.end());
}

// A script that writes %1..%9, one per line, next to itself, then exits with 7.
std::string argument_echo_script() {
  std::string script = "@echo off\r\n";
  for (int n = 1; n <= 9; ++n) {
    script += "echo [%" + std::to_string(n) + "]>" + (n == 1 ? "" : ">") + "\"%~dp0args.txt\"\r\n";
  }
  return script + "exit /b 7\r\n";
}

TEST(BatchFile, ArgumentsReachTheScriptAndNeverRunAsCommands) {
  test::TempDir dir;
  const std::string script = test::to_utf8(dir.file(L"echo args.bat"));
  const std::string injected = test::to_utf8(dir.file(L"injected.txt"));
  test::write_file(dir.file(L"echo args.bat"), argument_echo_script());
  const std::vector<std::string> arguments = {
      "a&b|c", "<in>out^", "(x)!x!", "two words", R"(say "hi")", "", R"(C:\dir\)",
      "q\" & echo x > \"" + injected + "\" & \"", "plain",
  };
  std::wstring tool_arguments = L"--wait-pid 1 -- " + quoted(script);
  for (const std::string& argument : arguments) {
    tool_arguments += L" " + quoted(argument);
  }
  EXPECT_EQ(test::run_tool_with(tool_arguments).exit_code, 7u);
  const std::string expected = "[\"a&b|c\"]\r\n[\"<in>out^\"]\r\n[\"(x)!x!\"]\r\n[\"two words\"]\r\n"
                               "[\"say \"\"hi\"\"\"]\r\n[\"\"]\r\n[\"C:\\dir\\\\\"]\r\n"
                               "[\"q\"\" & echo x > \"\"" + injected + "\"\" & \"\"\"]\r\n[plain]\r\n";
  EXPECT_EQ(test::read_file(dir.file(L"args.txt")), expected);
  EXPECT_FALSE(test::read_file(dir.file(L"injected.txt")));
}

TEST(BatchFile, RefusedOrMissingScriptsStartNothing) {
  test::TempDir dir;
  const std::string script = test::to_utf8(dir.file(L"t.bat"));
  test::write_file(dir.file(L"t.bat"), argument_echo_script());
  test::write_file(dir.file(L"app.cmd"), "@echo relaunched>\"%~dp0relaunched.txt\"\r\n");
  CreateDirectoryW(dir.file(L"folder.bat").c_str(), nullptr);
  const std::wstring relaunch = L"--wait-pid 1 --relaunch " + quoted(test::to_utf8(dir.file(L"app.cmd"))) + L" -- ";
  const std::wstring refused[] = {
      quoted(script) + L" " + quoted("x%PATH%y"),
      quoted(script) + L" " + quoted("a\nb"),
      quoted(test::to_utf8(dir.file(L"missing.bat"))),
      quoted(test::to_utf8(dir.file(L"folder.bat"))),
  };
  for (const std::wstring& program : refused) {
    EXPECT_EQ(test::run_tool_with(relaunch + program).exit_code, 0xFFFFFFFFu) << test::to_utf8(program);
  }
  EXPECT_FALSE(test::read_file(dir.file(L"args.txt")));
  EXPECT_FALSE(test::wait_for_file(dir.file(L"relaunched.txt"), 500));

  // A script that exits with 0 is followed by the .cmd relaunch, detached.
  test::write_file(dir.file(L"ok.bat"), "@exit /b 0\r\n");
  EXPECT_EQ(test::run_tool_with(relaunch + quoted(test::to_utf8(dir.file(L"ok.bat")))).exit_code, 0u);
  EXPECT_EQ(test::wait_for_file(dir.file(L"relaunched.txt"), 3000), "relaunched\r\n");
  RemoveDirectoryW(dir.file(L"folder.bat").c_str());
}

}  // namespace
}  // namespace relauncher

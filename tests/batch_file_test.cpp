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
  for (const char16_t* name : {u"u.BAT", u"u.cmd", u"u.bat.", u"u.bat ", u"C:\\d\\u.Cmd. ."}) {
    EXPECT_TRUE(is_batch_file(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
  }
  for (const char16_t* name : {u"u.bat.exe", u"u", u"u.bats", u"C:\\x.bat\\u.exe", u"", u". ."}) {
    EXPECT_FALSE(is_batch_file(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
  }
}

TEST(BatchFile, WritesEachArgumentTheWayCmdReadsItBackOrRefuses) {
  const struct {
    std::vector<std::string> arguments;
    std::u16string rest;  // empty: refused
  } cases[] = {
      {{}, u"\""},
      {{"plain-1.0/x:y@z_#$*+?", R"(\\server\share)", "\xC3\xBC"}, uR"( plain-1.0/x:y@z_#$*+? \\server\share ü")"},
      {{"", "a b", "k=v", "a,b;c"}, uR"( "" "a b" "k=v" "a,b;c"")"},
      {{R"(C:\dir\)", R"(C:\dir\\)"}, uR"( "C:\dir\\" "C:\dir\\\\"")"},
      {{R"(say "hi")", R"(a\"b)", R"(")"}, uR"( "say ""hi""" "a\\""b" """"")"},
      {{"x&y|z<a>b^(c)!d!"}, uR"( "x&y|z<a>b^(c)!d!"")"},
      {{"ok", "x%PATH%y"}, u""},
      {{"a\nb"}, u""},
      {{"a\rb"}, u""},
      {{std::string(8149, 'a')}, uR"( )" + std::u16string(8149, u'a') + u"\""},  // 8191 in all
      {{std::string(8150, 'a')}, u""},
  };
  for (const auto& c : cases) {
    const BatchCommandLine line = build_batch_command_line(uR"(C:\s\t.bat)", c.arguments);
    EXPECT_EQ(line.parameters, c.rest.empty() ? u"" : uR"(/e:ON /v:OFF /d /c ""C:\s\t.bat")" + c.rest);
    EXPECT_EQ(line.refusal.empty(), !c.rest.empty());
  }
  EXPECT_NE(build_batch_command_line(uR"(C:\100%\t.bat)", {}).refusal, "");
}

std::wstring quoted(const std::string& argument) {
  const std::u16string piece = quote_argument(argument);
  return std::wstring(piece.begin(), piece.end());
}

TEST(BatchFile, ArgumentsReachTheScriptAndNeverRunAsCommands) {
  test::TempDir dir;
  // Writes %1..%9, one per line, next to itself, then exits with 7.
  std::string echo = "@echo off\r\n";
  for (int n = 1; n <= 9; ++n) {
    echo += "echo [%" + std::to_string(n) + "]>" + (n == 1 ? "" : ">") + "\"%~dp0args.txt\"\r\n";
  }
  test::write_file(dir.file(L"echo args.bat"), echo + "exit /b 7\r\n");
  test::write_file(dir.file(L"ok.bat"), "@echo %0>\"%~dp0zero.txt\"\r\n@exit /b 0\r\n");
  // A cmd.exe that COMSPEC names must never be the one that runs a script.
  const std::wstring planted = test::copy_probe(dir, L"cmd.exe");
  SetEnvironmentVariableW(L"COMSPEC", planted.c_str());
  test::write_file(dir.file(L"app.cmd"), "@echo relaunched>\"%~dp0relaunched.txt\"\r\n");
  CreateDirectoryW(dir.file(L"folder.bat").c_str(), nullptr);
  const std::wstring script = quoted(test::to_utf8(dir.file(L"echo args.bat")));
  const std::string injected = test::to_utf8(dir.file(L"injected.txt"));
  const std::wstring relaunch = L"--wait-pid 1 --relaunch " + quoted(test::to_utf8(dir.file(L"app.cmd"))) + L" -- ";

  std::wstring arguments;
  for (const std::string& argument : {std::string("a&b|c"), std::string("<in>out^"), std::string("(x)!x!"),
                                      std::string("two words"), std::string(R"(say "hi")"), std::string(),
                                      std::string(R"(C:\dir\)"), "q\" & echo x > \"" + injected + "\" & \"",
                                      std::string("plain")}) {
    arguments += L" " + quoted(argument);
  }
  const struct {
    std::wstring program;
    DWORD exit_code;
  } cases[] = {
      {quoted(test::to_utf8(dir.file(L"folder.bat"))), 0xFFFFFFFF},
      {quoted(test::to_utf8(dir.file(L"missing.bat"))), 0xFFFFFFFF},
      {script + L" " + quoted("x%PATH%y"), 0xFFFFFFFF},
      {script + L" " + quoted("a\nb"), 0xFFFFFFFF},
      {script + arguments, 7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(test::run_tool_with(relaunch + c.program).exit_code, c.exit_code) << test::to_utf8(c.program);
    EXPECT_EQ(test::read_file(dir.file(L"args.txt")).has_value(), c.exit_code == 7) << "the script ran";
  }
  EXPECT_EQ(test::read_file(dir.file(L"args.txt")),
            "[\"a&b|c\"]\r\n[\"<in>out^\"]\r\n[\"(x)!x!\"]\r\n[\"two words\"]\r\n[\"say \"\"hi\"\"\"]\r\n[\"\"]\r\n"
            "[\"C:\\dir\\\\\"]\r\n[\"q\"\" & echo x > \"\"" + injected + "\"\" & \"\"\"]\r\n[plain]\r\n");
  EXPECT_FALSE(test::read_file(dir.file(L"injected.txt")));
  EXPECT_FALSE(test::wait_for_file(dir.file(L"relaunched.txt"), 300)) << "relaunched after a failure";

  // A script that exits with 0 is followed by the .cmd relaunch, detached.
  EXPECT_EQ(test::run_tool_with(relaunch + quoted(test::to_utf8(dir.file(L"ok.bat")))).exit_code, 0u);
  EXPECT_EQ(test::wait_for_file(dir.file(L"relaunched.txt"), 3000), "relaunched\r\n");
  // A script given by its bare name is found, and named to cmd.exe by its full path.
  wchar_t here[MAX_PATH];
  const std::wstring folder(here, GetCurrentDirectoryW(MAX_PATH, here));
  SetCurrentDirectoryW(dir.path().c_str());
  EXPECT_EQ(test::run_tool_with(L"--wait-pid 1 -- ok.bat").exit_code, 0u);
  SetCurrentDirectoryW(folder.c_str());
  EXPECT_EQ(test::read_file(dir.file(L"zero.txt")), "\"" + test::to_utf8(dir.file(L"ok.bat")) + "\"\r\n");
  EXPECT_FALSE(test::probe_started(planted)) << "COMSPEC's cmd.exe ran";
  SetEnvironmentVariableW(L"COMSPEC", nullptr);
  RemoveDirectoryW(dir.file(L"folder.bat").c_str());
}

}  // namespace
}  // namespace relauncher

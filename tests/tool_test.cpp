// The built relauncher.exe, driven end to end: real processes, exit codes read
// from inside Windows (only 8 bits would reach a Linux shell).

#include <gtest/gtest.h>

#include "process/command_line.h"
#include "support.h"

#include <sddl.h>  // after <windows.h>, which support.h brings

namespace {

using test::TempDir;
using test::quoted;
using test::wait_until_started;

const char usage_tail[] = ": usage: --wait-pid <pid> [--relaunch <app>] -- <program> [args...]\r\n";

void set_probe(const std::wstring& stem, const wchar_t* key, const std::wstring& value) {
  SetEnvironmentVariableW((L"PROBE_" + stem + L"_" + key).c_str(), value.c_str());
}

std::wstring environment(const wchar_t* name) {
  wchar_t value[MAX_PATH + 1] = L"";
  GetEnvironmentVariableW(name, value, MAX_PATH + 1);
  return value;
}

// The temporary folder as a value that the C runtime reads back whole: without the
// trailing backslash, which would escape the closing quote.
std::wstring temp_folder() {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  std::wstring folder = temp;
  while (!folder.empty() && folder.back() == L'\\') {
    folder.pop_back();
  }
  return folder;
}

TEST(Tool, PrintsTheUsageLineForUnusableCommandLines) {
  const std::wstring long_name(256, L'a'), longer_name(1024, L'b');
  const char* const broad = "\" is not a folder of its own";
  const char* const too_long = " usage a path has a component longer than 255 characters or is longer than 32,767";
  struct Unusable {
    std::wstring arguments;
    const char* reason;  // what the log's usage line says
  };
  const Unusable unusable[] = {
      {L"", "no positive --wait-pid"},
      {L"--wait-pid 5", "no program after --"},
      {L"--wait-pid 5 --", "no program after --"},
      {L"--wait-pid 5 -- \"\"", "no program after --"},
      {L"-- setup.exe", "no positive --wait-pid"},
      {L"--wait-pid 0 -- setup.exe", "no positive --wait-pid"},
      {L"--wait-pid -7 -- setup.exe", "no positive --wait-pid"},
      {L"--wait-pid x -- setup.exe", "no positive --wait-pid"},
      {L"--wait-pid=5 -- setup.exe", "no positive --wait-pid"},
      {L"--wait-pid 9223372036854775808 -- setup.exe", "no positive --wait-pid"},
      // Ending processes without a bound; folders that unrelated programs run from.
      {L"--wait-pid 5 --end-folder-processes -- setup.exe", "--end-folder-processes needs --wait-timeout"},
      {L"--wait-pid 5 --wait-folder C:\\ -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder C: -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder C:\\windows\\ -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder C:\\WINDOWS\\system32\\.. -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder C:\\users -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \"\" -- setup.exe", "an empty --wait-folder"},
      {L"--wait-pid 5 --wait-folder \"" + temp_folder() + L"\" -- setup.exe", broad},
      // Through the file system, whatever form the text takes; inside the Windows folder;
      // the shared roots that hold many applications.
      {L"--wait-pid 5 --wait-folder \\\\.\\C:\\windows -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \\\\?\\C:\\Windows -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \\\\.\\PhysicalDrive0 -- setup.exe", broad},
      // Device names are no folder of anyone's.
      {L"--wait-pid 5 --wait-folder NUL -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder AUX -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder C:\\Windows\\System32 -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \"" + environment(L"ProgramData") + L"\" -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \"" + environment(L"LOCALAPPDATA") + L"\\Programs\" -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \"" + environment(L"APPDATA") + L"\" -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \\\\server\\share -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \\\\server\\share\\ -- setup.exe", broad},
      // Paths that Windows cannot hold never reach a system call.
      {L"--wait-pid 5 --wait-folder C:\\" + long_name + L" -- setup.exe", too_long},
      {L"--wait-pid 5 --wait-folder C:\\" + longer_name + L"\\app -- setup.exe", too_long},
      {L"--wait-pid 5 --wait-tree --relaunch C:\\" + longer_name + L"\\app.exe -- setup.exe", too_long},
      {L"--wait-pid 5 --end-folder-processes --wait-timeout 1 --wait-folder C:\\app --relaunch C:\\" +
           long_name + L".exe -- setup.exe",
       too_long},
      // Exit codes are 32 bits of decimal digits.
      {L"--wait-pid 5 --success-code 4294967296 -- setup.exe", "--success-code that is not 0 to 4294967295"},
      {L"--wait-pid 5 --success-code -1 -- setup.exe", "--success-code that is not 0 to 4294967295"},
      {L"--wait-pid 5 --success-code 0x10 -- setup.exe", "--success-code that is not 0 to 4294967295"},
      {L"--wait-pid 5 --success-code \"\" -- setup.exe", "--success-code that is not 0 to 4294967295"},
      {L"--wait-pid 5 --success-code +5 -- setup.exe", "--success-code that is not 0 to 4294967295"},
      {L"--wait-pid 5 --success-code \" 5\" -- setup.exe", "--success-code that is not 0 to 4294967295"},
      // A window's text is what holding a shutdown off tells the user.
      {L"--wait-pid 5 --hold-shutdown -- setup.exe", "--hold-shutdown without --progress"},
      // Retries need their codes and their bound; a success is never retried.
      {L"--wait-pid 5 --retry-code 1618 -- setup.exe", "--retry-code (1 to 4294967295) and --retry-for"},
      {L"--wait-pid 5 --retry-for 60 -- setup.exe", "--retry-code (1 to 4294967295) and --retry-for"},
      {L"--wait-pid 5 --retry-code 0 --retry-for 60 -- setup.exe", "--retry-code (1 to 4294967295) and"},
      {L"--wait-pid 5 --retry-code 1618 --retry-for 86401 -- setup.exe", "--retry-code (1 to 4294967295)"},
      {L"--wait-pid 5 --retry-code 3010 --retry-for 60 --success-code 3010 -- setup.exe",
       "no code may be both a --retry-code and a --success-code"},
  };
  // Refused for themselves: with the folders inside them pointed elsewhere, so that no
  // other rule refuses them (Wine's temporary folder lies inside the profile, and its
  // common files inside Program Files).
  const Unusable unusable_alone[] = {
      {L"--wait-pid 5 --wait-folder \"" + environment(L"USERPROFILE") + L"\" -- setup.exe", broad},
      {L"--wait-pid 5 --wait-folder \"" + environment(L"ProgramFiles(x86)") + L"\" -- setup.exe", broad},
  };
  const std::pair<const wchar_t*, const wchar_t*> elsewhere[] = {{L"TEMP", L"C:\\elsewhere\\temp"},
                                                                 {L"TMP", L"C:\\elsewhere\\temp"},
                                                                 {L"APPDATA", L"C:\\elsewhere\\roaming"},
                                                                 {L"LOCALAPPDATA", L"C:\\elsewhere\\local"},
                                                                 {L"CommonProgramFiles(x86)", L"C:\\elsewhere\\common"}};
  std::vector<Unusable> all(std::begin(unusable), std::end(unusable));
  all.insert(all.end(), std::begin(unusable_alone), std::end(unusable_alone));
  TempDir dir;
  const std::wstring log = dir.file(L"usage.log");
  std::vector<std::pair<const wchar_t*, std::wstring>> saved;

  for (std::size_t i = 0; i < all.size(); ++i) {
    const Unusable& c = all[i];
    if (i == std::size(unusable)) {
      for (const auto& variable : elsewhere) {
        saved.emplace_back(variable.first, environment(variable.first));
        SetEnvironmentVariableW(variable.first, variable.second);
      }
    }
    DeleteFileW(log.c_str());
    const test::ToolRun run = test::run_tool(L"relauncher.exe --log " + quoted(log) + L" " + c.arguments);
    EXPECT_EQ(run.exit_code, 2u) << test::to_utf8(c.arguments);
    EXPECT_EQ(run.error_output, std::string("relauncher.exe") + usage_tail) << test::to_utf8(c.arguments);
    EXPECT_EQ(run.output, "");
    const std::string logged = test::read_file(log).value_or("");
    EXPECT_NE(logged.find(" usage "), std::string::npos) << logged;
    EXPECT_NE(logged.find(c.reason), std::string::npos) << test::to_utf8(c.arguments) << "\n" << logged;
  }
  for (const auto& variable : saved) {
    SetEnvironmentVariableW(variable.first, variable.second.c_str());
  }
  // A drive's device spelling is the drive's root, even from a current folder on that
  // drive, which "C:" alone would name.
  wchar_t own_folder[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, own_folder);
  ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
  for (const wchar_t* device : {L"\\\\.\\C:", L"\\\\?\\c:"}) {
    DeleteFileW(log.c_str());
    EXPECT_EQ(test::run_tool(L"relauncher.exe --log " + quoted(log) + L" --wait-pid 5 --wait-folder " +
                             device + L" -- setup.exe")
                  .exit_code,
              2u)
        << test::to_utf8(device);
    EXPECT_NE(test::read_file(log).value_or("").find(broad), std::string::npos);
  }
  SetCurrentDirectoryW(own_folder);
}

// Folders inside the refused ones, and a long relaunch path that is never resolved,
// keep the hand-over going: the program runs.
TEST(Tool, AcceptsAnApplicationsOwnFolderBesideTheRefusedOnes) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring log = dir.file(L"accepted.log");
  const std::wstring unique = L"relauncher-test-" + std::to_wstring(GetCurrentProcessId());
  const struct {
    std::wstring options;
    const char* logged;
  } accepted[] = {
      {L"--wait-folder \"" + environment(L"LOCALAPPDATA") + L"\\Programs\\" + unique + L"\"",
       "\\Programs\\relauncher-test-"},
      {L"--wait-folder \"" + environment(L"ProgramData") + L"\\" + unique + L"\"", "\\relauncher-test-"},
      {L"--relaunch C:\\" + std::wstring(1024, L'c') + L"\\app.exe", " relaunch error "},
      // The longest component Windows holds, one short of the refused one.
      {L"--wait-folder C:\\" + std::wstring(255, L'd'), "\" does not exist: nothing can run from it"},
  };
  for (const auto& c : accepted) {
    test::forget_records({setup});
    DeleteFileW(log.c_str());
    const test::ToolRun run =
        test::run_tool_with(L"--log " + quoted(log) + L" --wait-pid 1 " + c.options + L" -- " + quoted(setup));
    EXPECT_EQ(run.exit_code, 0u) << test::to_utf8(c.options);
    EXPECT_TRUE(test::probe_started(setup));
    EXPECT_NE(test::read_file(log).value_or("").find(c.logged), std::string::npos) << test::read_file(log).value_or("");
  }
}

// A log appended to a file that runs would break it: the installer (error 32, or a
// damaged file) or relauncher itself. Named any other way, it is still that file.
TEST(Tool, NeverLogsIntoAFileItRuns) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  const std::wstring tool = test::copy_from_build(dir, L"relauncher.exe", L"relauncher.exe");
  const std::wstring upper = dir.path() + L"\\.\\";
  const std::wstring cases[] = {upper + L"SETUP.EXE", upper + L"APP.EXE", upper + L"RELAUNCHER.EXE"};
  for (const std::wstring& log : cases) {
    test::forget_records({setup});
    const std::string before = test::read_file(log).value_or("");
    const test::ToolRun run = test::run_tool(quoted(tool) + L" --log " + quoted(log) + L" --wait-pid 1 --relaunch " +
                                                 quoted(app) + L" -- " + quoted(setup),
                                             false, tool);
    EXPECT_EQ(run.exit_code, 0u) << test::to_utf8(log);
    EXPECT_TRUE(test::probe_started(setup)) << test::to_utf8(log);
    EXPECT_EQ(test::read_file(log).value_or(""), before) << test::to_utf8(log);
    if (const auto relaunched = wait_until_started(app)) {
      test::wait_for_pid(relaunched->pid);
    }
  }
}

TEST(Tool, NamesItselfAfterTheFileNameOfArgvZero) {
  const struct {
    const wchar_t* argv0;
    const char* name;
  } cases[] = {
      {LR"(C:\Tools\switch.exe)", "switch.exe"},
      {L"switch", "switch"},
      {L"C:switch.exe", "switch.exe"},
      {L"C:/Tools/switch.exe", "switch.exe"},
      {L"\"\"", "relauncher"},
      {L"C:", "relauncher"},
      {LR"(C:\Tools\)", "relauncher"},
      {LR"(\\server)", "relauncher"},
      {LR"(\\server\share\x.exe)", "x.exe"},
      {L"\"C:\\Program Files\\Sw\u00FCtch\\sw\u00FCtch.exe\"", "sw\xC3\xBCtch.exe"},
  };
  for (const auto& c : cases) {
    const test::ToolRun run = test::run_tool(std::wstring(c.argv0) + L" --bogus");
    EXPECT_EQ(run.exit_code, 2u) << c.name;
    EXPECT_EQ(run.error_output, c.name + std::string(usage_tail));
  }
}

// The application's security may grant others no more than the right to wait for it.
HANDLE start_waitable_only(const std::wstring& program) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100000;;;WD)", SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    throw std::runtime_error("cannot make the security descriptor");
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  HANDLE process = test::start(program, quoted(program), 0, &attributes);
  LocalFree(descriptor);
  return process;
}

TEST(Tool, StartsTheProgramOnlyAfterTheWaitedProcessHasEnded) {
  TempDir dir;
  const std::wstring victim = test::copy_probe(dir, L"victim.exe");
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  set_probe(L"victim", L"SLEEP_MS", L"1500");
  HANDLE victim_process = start_waitable_only(victim);
  const std::wstring pid = std::to_wstring(GetProcessId(victim_process));

  const test::ToolRun run = test::run_tool_with(L"--wait-pid " + pid + L" -- " + quoted(setup));
  EXPECT_EQ(run.exit_code, 0u);
  const auto ended = test::probe_ended(victim);
  const auto started = test::probe_started(setup);
  ASSERT_TRUE(ended && started);
  EXPECT_GT(started->start, *ended);
  CloseHandle(victim_process);
}

TEST(Tool, ExitsWithAll32BitsOfTheProgramsExitCode) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"exitcode.exe");
  const std::wstring app = test::copy_probe(dir, L"exitapp.exe");
  for (const DWORD code : {0x1u, 0x2u, 0x100u, 0xC0000005u, 0x80000000u, 0xFFFFFFFFu, 0x0u}) {
    set_probe(L"exitcode", L"EXIT", std::to_wstring(code));
    const test::ToolRun run = test::run_tool_with(L"--wait-pid 1 --relaunch " + quoted(app) + L" -- " + quoted(setup));
    EXPECT_EQ(run.exit_code, code);
    // Only a zero exit code starts the relaunch.
    const auto relaunched = wait_until_started(app, code == 0 ? 3000 : 500);
    EXPECT_EQ(relaunched.has_value(), code == 0) << code;
    if (relaunched) {
      test::wait_for_pid(relaunched->pid);
    }
  }
}

TEST(Tool, ExitsWithMinusOneAndNoRelaunchWhenTheProgramCannotStart) {
  TempDir dir;
  const std::wstring app = test::copy_probe(dir, L"norelaunch.exe");
  const std::wstring setup = test::copy_probe(dir, L"long.exe");
  const std::wstring log = dir.file(L"relauncher.log");
  // Quoting makes a line grow: 11,000 bare arguments, each quoted, make a line longer
  // than Windows accepts, which Wine would start cut short.
  std::wstring too_long;
  for (int i = 0; i < 11000; ++i) {
    too_long += L" x";
  }
  const struct {
    std::wstring program;
    const char* logged;
  } cases[] = {
      {quoted(dir.file(L"missing.exe")), " run error 2 "},
      {quoted(setup) + too_long, " run refused: the command line is longer than Windows accepts"},
  };
  for (const auto& c : cases) {
    DeleteFileW(log.c_str());
    const test::ToolRun run =
        test::run_tool_with(L"--log " + quoted(log) + L" --wait-pid 1 --relaunch " + quoted(app) + L" -- " + c.program);
    EXPECT_EQ(run.exit_code, 0xFFFFFFFFu);
    EXPECT_FALSE(wait_until_started(app, 1000));
    EXPECT_FALSE(test::probe_started(setup)) << "started cut short";
    EXPECT_NE(test::read_file(log).value_or("").find(c.logged), std::string::npos) << c.logged;
  }
}

TEST(Tool, RefusesACommandLineItCannotReadExactlyAndKeepsItsUsageLineOneLine) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  const std::wstring log = dir.file(L"relauncher.log");
  const std::wstring lone = std::wstring(1, static_cast<wchar_t>(0xD800));
  const struct {
    std::wstring command_line;
    DWORD exit_code;
    const char* name;  // in the usage line
  } cases[] = {
      {L"relauncher.exe --wait-pid 1 --relaunch " + quoted(dir.file(L"app" + lone + L".exe")) + L" -- " + quoted(setup),
       2, "relauncher.exe"},
      {L"relauncher.exe --wait-pid 1 -- " + quoted(setup) + L" a" + lone, 2, "relauncher.exe"},
      {L"relauncher.exe --wait-pid 1 -- " + quoted(dir.file(L"set" + lone + L"up.exe")), 2, "relauncher.exe"},
      {L"relauncher.exe --wait-pid 1 --relaunch-arg " + lone + L" --relaunch " + quoted(app) + L" -- " + quoted(setup),
       2, "relauncher.exe"},
      // The tool's own name only names it: the rest is still read exactly, all of it
      // after a quoted name with a blank.
      {L"relauncher" + lone + L".exe --wait-pid 1 -- " + quoted(setup), 0, ""},
      {L"\"C:\\x y\\relauncher" + lone + L".exe\" --wait-pid 1 -- " + quoted(setup), 0, ""},
      {L"\"C:\\x\\a\r\nb.exe\" --bogus", 2, "relauncher"},
      {L"C:\\x\\a\u0085b.exe --bogus", 2, "relauncher"},
      {L"C:\\x\\\u202Eexe.bat --bogus", 2, "relauncher"},
      {L"C:\\x\\a\u2028b.exe --bogus", 2, "relauncher"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteFileW(log.c_str());
    DeleteFileW((setup + L".started").c_str());
    const std::size_t options = c.command_line.find(L" --");
    const test::ToolRun run = test::run_tool(c.command_line.substr(0, options) + L" --log " + quoted(log) +
                                             c.command_line.substr(options));
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.error_output, c.exit_code == 2 ? c.name + std::string(usage_tail) : "");
    EXPECT_EQ(test::probe_started(setup).has_value(), c.exit_code == 0) << "started all the same";
    EXPECT_FALSE(test::wait_until_started(app, 0));
    if (c.name == std::string("relauncher.exe")) {
      EXPECT_NE(test::read_file(log).value_or("").find(" usage the command line holds text that its arguments cannot"),
                std::string::npos);
    }
  }
}

// A --log path that its argument cannot carry exactly would name a near-miss file.
TEST(Tool, OpensNoLogUnderANameTheCallerNeverGave) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring lone = std::wstring(1, static_cast<wchar_t>(0xD800));
  const test::ToolRun run = test::run_tool(L"relauncher.exe --log " + quoted(dir.file(L"near" + lone + L".log")) +
                                           L" --wait-pid 1 -- " + quoted(setup));
  EXPECT_EQ(run.exit_code, 2u);
  EXPECT_EQ(test::files_in(dir), std::vector<std::wstring>{L"setup.exe"});
}

TEST(Tool, RelaunchesDetachedWithThePathAloneAndDoesNotWaitForIt) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"installer.exe");
  const std::wstring app = test::copy_probe(dir, L"relaunched.exe");
  set_probe(L"relaunched", L"SLEEP_MS", L"3000");

  const test::ToolRun run =
      test::run_tool_with(L"--wait-pid 1 --relaunch " + quoted(app) + L" -- " + quoted(setup) + L" /quiet", true);
  EXPECT_EQ(run.exit_code, 0u);

  const auto program = test::probe_started(setup);
  ASSERT_TRUE(program);
  EXPECT_TRUE(program->console) << "the program shares the tool's console";
  const auto relaunched = wait_until_started(app);
  ASSERT_TRUE(relaunched);
  EXPECT_FALSE(test::probe_ended(app)) << "the tool waited for the relaunched application";
  EXPECT_EQ(relaunched->command_line, quoted(app));
  EXPECT_FALSE(relaunched->console) << "the relaunched application is not detached";
  test::wait_for_pid(relaunched->pid);
}

TEST(Tool, SucceedsWhenTheRelaunchCannotStart) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"okay.exe");
  for (const std::wstring& relaunch : {std::wstring(L"\"\""), quoted(dir.file(L"missing.exe")), quoted(dir.path())}) {
    const test::ToolRun run = test::run_tool_with(L"--wait-pid 1 --relaunch " + relaunch + L" -- " + quoted(setup));
    EXPECT_EQ(run.exit_code, 0u) << test::to_utf8(relaunch);
  }
}

TEST(Tool, HandsTheProgramExactlyTheComposedCommandLine) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"args.exe");
  const std::vector<std::string> arguments = {
      "/quiet", "", "a b", "C:\\dir\\", "a\\\"b", "say \"hi\"", "\\\\server\\share", "tab\there",
      "\xC3\xBC", "\xF0\x9F\x98\x80", "--", "--wait-pid",
  };
  std::wstring tool_arguments = L"--wait-pid 1 -- " + quoted(setup);
  for (const std::string& argument : arguments) {
    const std::u16string piece = relauncher::quote_argument(argument);
    tool_arguments += L" " + std::wstring(piece.begin(), piece.end());
  }
  ASSERT_EQ(test::run_tool_with(tool_arguments).exit_code, 0u);

  const auto record = test::probe_started(setup);
  ASSERT_TRUE(record);
  const std::u16string expected = relauncher::build_command_line(test::to_utf8(setup), arguments);
  EXPECT_EQ(record->command_line, std::wstring(expected.begin(), expected.end()));
}

TEST(Tool, KeepsNonAsciiPathsIntact) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"s\u00E9tup \u65E5\u672C.exe");
  const std::wstring app = test::copy_probe(dir, L"\u00C4pp \U0001F600.exe");
  set_probe(L"\u00C4pp \U0001F600", L"SLEEP_MS", L"0");
  const test::ToolRun run = test::run_tool_with(L"--wait-pid 1 --relaunch " + quoted(app) + L" -- " +
                                                quoted(setup) + L" \u00FC\U0001F600");
  EXPECT_EQ(run.exit_code, 0u);
  const auto program = test::probe_started(setup);
  ASSERT_TRUE(program);
  EXPECT_EQ(program->command_line, quoted(setup) + L" \"\u00FC\U0001F600\"");
  const auto relaunched = wait_until_started(app);
  ASSERT_TRUE(relaunched);
  EXPECT_EQ(relaunched->command_line, quoted(app));
  test::wait_for_pid(relaunched->pid);
}

}  // namespace

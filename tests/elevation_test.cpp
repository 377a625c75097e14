// --elevate: the decision to start the program again through the consent prompt, and
// that start itself, run for real (Wine carries out "runas" without a prompt; it never
// refuses a start for want of elevation, so the whole path is not reachable here).

#include "process/process.h"

#include "driver/log_events.h"
#include "driver/run.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "support.h"

namespace relauncher {
namespace {

TEST(Elevation, IsAskedForExactlyWhenWindowsDemandsItAndTheCallerAllowsIt) {
  const struct {
    std::error_code start_error;
    bool elevate;
    bool asked;
  } cases[] = {
      {{740, std::system_category()}, true, true},
      {{740, std::system_category()}, false, false},
      {{740, std::generic_category()}, true, false},
      {{ERROR_ACCESS_DENIED, std::system_category()}, true, false},
      {{ERROR_FILE_NOT_FOUND, std::system_category()}, true, false},
      {{ERROR_CANCELLED, std::system_category()}, true, false},
      {{}, true, false},
  };
  for (const auto& c : cases) {
    ProgramSettings settings;
    settings.elevate = c.elevate;
    EXPECT_EQ(should_elevate(c.start_error, settings), c.asked) << c.start_error.value() << " " << c.elevate;
  }
}

TEST(Elevation, TheLogSaysWhetherItWasAskedFor) {
  RunReport refused;
  refused.start.error = {740, std::system_category()};
  refused.start.command_line = u"\"setup.exe\"";
  EXPECT_NE(describe_run(refused, "setup.exe", false).find("--elevate would ask for it;"), std::string::npos);
  EXPECT_NE(describe_run(refused, "setup.exe", true).find("asking for it"), std::string::npos);
  ElevatedRun declined;
  declined.error = {ERROR_CANCELLED, std::system_category()};
  EXPECT_EQ(describe_elevated_run(declined).rfind("elevated: declined", 0), 0u);
}

std::vector<std::wstring> split(const std::wstring& command_line) {
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(command_line.c_str(), &count);
  std::vector<std::wstring> pieces(argv, argv + count);
  LocalFree(argv);
  return pieces;
}

TEST(Elevation, RunsTheProgramWithItsArgumentsAndReturnsItsExitCode) {
  test::TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"elevated setup.exe");
  const std::vector<std::string> arguments = {"/quiet", "", "a b", R"(C:\dir\)", R"(say "hi")", "\xC3\xBC"};
  const std::string program = test::to_utf8(setup);
  (void)run_elevated(program, {});  // the first call loads the shell; later ones must leak nothing
  for (const DWORD code : {0xC0000005u, 0x80000000u, 7u, 0u}) {
    SetEnvironmentVariableW(L"PROBE_elevated setup_EXIT", std::to_wstring(code).c_str());
    const int handles = test::count_open_handles();
    const ElevatedRun run = run_elevated(program, arguments);
    EXPECT_EQ(test::count_open_handles(), handles);
    EXPECT_FALSE(run.error);
    EXPECT_TRUE(run.has_process);
    EXPECT_EQ(static_cast<DWORD>(run.exit_code), code);
    EXPECT_EQ(run.file, std::u16string(setup.begin(), setup.end()));
    const auto record = test::probe_started(setup);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->pid, run.pid);
    const std::vector<std::wstring> seen = split(record->command_line);
    ASSERT_EQ(seen.size(), arguments.size() + 1);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      EXPECT_EQ(seen[i + 1], test::from_utf8(arguments[i]));
    }
  }
  const ElevatedRun missing = run_elevated(test::to_utf8(dir.file(L"missing.exe")), {"x"});
  EXPECT_EQ(missing.error, std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()));
  EXPECT_FALSE(missing.has_process);
  EXPECT_EQ(missing.exit_code, -1);
}

TEST(Elevation, RunsABatchFileThroughTheSystemsCmd) {
  test::TempDir dir;
  const std::wstring script = dir.file(L"up date.cmd");
  test::write_file(script, "@echo [%1] [%2]>\"%~dp0args.txt\"\r\n@exit /b 5\r\n");
  const ElevatedRun run = run_elevated(test::to_utf8(script), {"a&b", "plain"});
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_EQ(run.parameters, u"/e:ON /v:OFF /d /c \"\"" + test::to_u16(script) + u"\" \"a&b\" plain\"");
  EXPECT_EQ(test::read_file(dir.file(L"args.txt")), "[\"a&b\"] [plain]\r\n");
  EXPECT_EQ(run_elevated(test::to_utf8(script), {"%PATH%"}).error,
            std::error_code(ERROR_INVALID_PARAMETER, std::system_category()));
}

// The whole path through the tool's run, with Windows' refusal for want of elevation
// made by the test seam (Wine never refuses), and the elevated start itself for real.
// What Wine cannot show: that the verb is "runas" (it carries out "open" the same way).
TEST(Elevation, TheRunAsksForItOnlyWithElevateAndReturnsTheElevatedExitCode) {
  test::TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"elevated.exe");
  const std::wstring log = dir.file(L"relauncher.log");
  SetEnvironmentVariableW(L"PROBE_elevated_EXIT", L"0x80000000");
  const struct {
    std::vector<std::string> options;
    int exit_code;
    std::wstring command_line;  // what the elevated program saw; empty: not started
    const char* logged;
  } cases[] = {
      {{"--elevate"}, static_cast<int>(0x80000000u), test::quoted(setup) + LR"( "/quiet" "a b" "C:\dir\\")",
       "run elevated: pid="},
      {{"--elevate", "--verbatim"}, static_cast<int>(0x80000000u), test::quoted(setup) + LR"( /quiet a b C:\dir\)",
       "run elevated: pid="},
      {{"--elevate", "--wait-tree"}, static_cast<int>(0x80000000u),
       test::quoted(setup) + LR"( "/quiet" "a b" "C:\dir\\")", "waited_for=program_alone (an elevated start"},
      {{}, -1, L"", "needs elevation: --elevate would ask for it;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.size());
    DeleteFileW(log.c_str());
    DeleteFileW((setup + L".started").c_str());
    std::vector<std::string> args = {"--log", test::to_utf8(log)};
    args.insert(args.end(), c.options.begin(), c.options.end());
    for (const char* word : {"--wait-pid", "1", "--"}) {
      args.push_back(word);
    }
    args.insert(args.end(), {test::to_utf8(setup), "/quiet", "a b", R"(C:\dir\)"});
    ProgramSettings settings;
    settings.first_start_needs_elevation = true;
    TestSeams seams;
    seams.stay_in_job = true;
    EXPECT_EQ(run(args, std::string("relauncher.exe"), stderr, settings, seams), c.exit_code);
    const auto record = test::probe_started(setup);
    ASSERT_EQ(record.has_value(), !c.command_line.empty());
    const std::string logged = test::read_file(log).value_or("");
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    if (record) {
      EXPECT_EQ(record->command_line, c.command_line);
      EXPECT_EQ(record->show, "1,1") << "an installer's window must show normally";
      EXPECT_NE(logged.find("elevated: pid=" + std::to_string(record->pid)), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace relauncher

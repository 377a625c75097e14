// The wait and the relaunch as updaters need them, through the built relauncher.exe:
// a bounded wait, never a process that took a freed id, and a relaunch with arguments.

#include <gtest/gtest.h>

#include "process/process.h"
#include "support.h"

namespace {

using test::TempDir;
using test::still_running;
using test::quoted;

const char usage_line[] = "relauncher.exe: usage: --wait-pid <pid> [--relaunch <app>] -- <program> [args...]\r\n";

TEST(Relaunch, PassesTheRelaunchArgumentsExactlyAndInOrder) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  const std::wstring script = dir.file(L"app.cmd");
  test::write_file(script, "@echo [%1] [%2] [%3]>\"%~dp0args.txt\"\r\n");
  // A handle the caller lets the tool inherit is the tool's; it must go no further.
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  HANDLE secret = CreateFileW(dir.file(L"secret.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              &inheritable, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(secret, INVALID_HANDLE_VALUE);
  const std::wstring value = std::to_wstring(reinterpret_cast<std::uintptr_t>(secret));
  SetEnvironmentVariableW(L"PROBE_setup_HANDLE", value.c_str());
  SetEnvironmentVariableW(L"PROBE_app_HANDLE", value.c_str());
  const struct {
    std::wstring relaunch;
    std::wstring arguments;  // --relaunch-arg <each>
    std::wstring file;
    std::wstring seen;
  } cases[] = {
      {quoted(app), LR"(--relaunch-arg "a b" --relaunch-arg "say \"hi\"" --relaunch-arg C:\dir\ --relaunch-arg "")"
                    L" --relaunch-arg \u00FC\U0001F600 --relaunch-arg --updated",
       app + L".started", L"command_line=" + quoted(app) + LR"( "a b" "say \"hi\"" "C:\dir\\" "" "ü😀" "--updated")"},
      {quoted(app), L"", app + L".started", L"command_line=" + quoted(app)},
      {quoted(script), L"--relaunch-arg a&b --relaunch-arg plain --relaunch-arg \"x y\"", dir.file(L"args.txt"),
       L"[\"a&b\"] [plain] [\"x y\"]\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.arguments));
    DeleteFileW((app + L".started").c_str());
    const test::ToolRun run =
        test::run_tool_with(L"--wait-pid 1 --relaunch " + c.relaunch + L" " + c.arguments + L" -- " + quoted(setup));
    EXPECT_EQ(run.exit_code, 0u);
    const auto seen = test::wait_for_file(c.file, 3000);
    ASSERT_TRUE(seen);
    EXPECT_NE(seen->find(test::to_utf8(c.seen)), std::string::npos) << *seen;
    EXPECT_EQ(test::probe_started(setup)->handle, "") << "the program inherited the caller's handle";
    if (const auto relaunched = test::probe_started(app)) {
      EXPECT_EQ(relaunched->handle, "") << "the relaunched application inherited the caller's handle";
      test::wait_for_pid(relaunched->pid);
    }
  }
  CloseHandle(secret);
}

TEST(Wait, GivesUpAfterTheTimeoutAndLeavesTheApplicationRunning) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  const std::wstring victim = test::copy_probe(dir, L"victim.exe");
  const struct {
    const wchar_t* sleep_ms;
    const wchar_t* timeout;
    bool gives_up;
  } cases[] = {
      {L"2500", L"1", true},
      {L"300", L"5", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.timeout));
    DeleteFileW((setup + L".started").c_str());
    DeleteFileW((app + L".started").c_str());
    SetEnvironmentVariableW(L"PROBE_victim_SLEEP_MS", c.sleep_ms);
    HANDLE victim_process = test::start(victim, quoted(victim));
    const ULONGLONG before = GetTickCount64();
    const std::wstring log = dir.file(L"relauncher.log");
    DeleteFileW(log.c_str());
    const test::ToolRun run = test::run_tool_with(L"--log " + quoted(log) + L" --wait-pid " +
                                                  std::to_wstring(GetProcessId(victim_process)) +
                                                  L" --wait-timeout " + c.timeout + L" --relaunch " + quoted(app) +
                                                  L" -- " + quoted(setup));
    const ULONGLONG took = GetTickCount64() - before;
    EXPECT_EQ(run.exit_code, c.gives_up ? 0xFFFFFFFFu : 0u);
    EXPECT_EQ(still_running(victim_process), c.gives_up) << "the application is never ended";
    if (c.gives_up) {
      EXPECT_GE(took, 1000u);
      EXPECT_NE(test::read_file(log).value_or("").find(" still running after 1 s: gave up\r\n"), std::string::npos);
    }
    EXPECT_EQ(test::probe_started(setup).has_value(), !c.gives_up);
    const auto relaunched = test::wait_until_started(app, c.gives_up ? 500 : 3000);
    EXPECT_EQ(relaunched.has_value(), !c.gives_up);
    if (relaunched) {
      test::wait_for_pid(relaunched->pid);
    }
    WaitForSingleObject(victim_process, INFINITE);
    CloseHandle(victim_process);
  }
}

TEST(Wait, RefusesATimeoutThatIsNotWholeSecondsFromOneToADay) {
  // Blanks around or inside the value, and a bad value that a good one follows.
  for (const wchar_t* value : {L"0", L"-1", L"1.5", L"abc", L"\"\"", L"86401", L"+5", L"99999999999999999999", L"5s",
                               L"\" 5\"", L"\"5 \"", L"\"1 0\"", L"x --wait-timeout 5"}) {
    const test::ToolRun run =
        test::run_tool(L"relauncher.exe --wait-pid 1 --wait-timeout " + std::wstring(value) + L" -- missing.exe");
    EXPECT_EQ(run.exit_code, 2u) << test::to_utf8(value);
    EXPECT_EQ(run.error_output, usage_line) << test::to_utf8(value);
  }
  // The bounds themselves are usable: nothing to wait for, and the program is missing.
  for (const wchar_t* value : {L"1", L"86400", L"007"}) {
    EXPECT_EQ(test::run_tool(L"relauncher.exe --wait-pid 1 --wait-timeout " + std::wstring(value) +
                             L" -- missing.exe").exit_code, 0xFFFFFFFFu) << test::to_utf8(value);
  }
}

// Ids are handed out again once freed, and then the process that holds the
// application's id is newer than the tool. Here the test stands where the tool would:
// a process it starts is newer than itself, and is not waited for.
TEST(Wait, SkipsAProcessNewerThanTheWaiter) {
  TempDir dir;
  const std::wstring newer = test::copy_probe(dir, L"newer.exe");
  SetEnvironmentVariableW(L"PROBE_newer_SLEEP_MS", L"5000");
  HANDLE process = test::start(newer, quoted(newer));
  const relauncher::WaitReport report = relauncher::wait_for_process(GetProcessId(process), 2);
  EXPECT_EQ(report.outcome, relauncher::WaitOutcome::started_after);
  EXPECT_TRUE(still_running(process));
  TerminateProcess(process, 0);
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
  // Only a provably newer process is skipped: equal times, or times that could not be
  // read, leave the wait as it was.
  const std::uint64_t tool = 133000000000000000;
  EXPECT_TRUE(relauncher::started_after_tool(tool + 1, tool));
  EXPECT_FALSE(relauncher::started_after_tool(tool, tool));
  EXPECT_FALSE(relauncher::started_after_tool(tool - 1, tool));
  EXPECT_FALSE(relauncher::started_after_tool(std::nullopt, tool));
  EXPECT_FALSE(relauncher::started_after_tool(tool + 1, std::nullopt));
  // Creation times differ in their high words too: the low word wraps every seven minutes.
  EXPECT_FALSE(relauncher::started_after_tool(0x00000001FFFFFFFFu, 0x0000000200000000u));
  EXPECT_TRUE(relauncher::started_after_tool(0x0000000300000000u, 0x00000002FFFFFFFFu));
}

}  // namespace

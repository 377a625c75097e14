// The application comes back exactly once and learns how the update went:
// --relaunch-on-failure, --success-code, the outcome in its environment, and a tree
// wait that the application's own processes do not hold open.

#include <gtest/gtest.h>

#include "driver/relaunch.h"
#include "support.h"

namespace {

using test::TempDir;
using test::quoted;

TEST(Outcome, TheApplicationComesBackAfterAFailureOnlyWhenAskedAndIsToldHowItWent) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  // Left by an earlier update: must reach neither the program nor the application.
  SetEnvironmentVariableW(L"RELAUNCHER_OUTCOME", L"stale");
  SetEnvironmentVariableW(L"RELAUNCHER_EXIT_CODE", L"42");
  const struct {
    const wchar_t* options;
    bool missing;  // the program cannot be started
    unsigned setup_exit;
    DWORD exit_code;
    const char* outcome;  // as the relaunched application sees it; nullptr: not relaunched
    const char* seen_exit_code;
  } cases[] = {
      {L"", false, 5, 5, nullptr, nullptr},
      {L"--relaunch-on-failure", false, 5, 5, "failed", "5"},
      {L"--relaunch-on-failure", true, 0, 0xFFFFFFFF, "not-started", "unset"},
      {L"", true, 0, 0xFFFFFFFF, nullptr, nullptr},
      {L"--success-code 3010", false, 3010, 3010, "succeeded", "3010"},
      {L"", false, 3010, 3010, nullptr, nullptr},
      {L"--success-code 3010", false, 1641, 1641, nullptr, nullptr},
      {L"--success-code 3010 --success-code 1641", false, 1641, 1641, "succeeded", "1641"},
      {L"--relaunch-on-failure", false, 0xC0000005, 0xC0000005, "failed", "3221225477"},
      {L"--relaunch-on-failure", false, 0, 0, "succeeded", "0"},
      {L"", false, 0, 0, "unset", "unset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.options) + " exit " + std::to_string(c.setup_exit));
    DeleteFileW((setup + L".started").c_str());
    DeleteFileW((app + L".started").c_str());
    test::set_probe_exit(setup, c.setup_exit);
    const std::wstring program = c.missing ? dir.file(L"missing.exe") : setup;
    const test::ToolRun run = test::run_tool_with(L"--wait-pid 1 --relaunch " + quoted(app) + L" " + c.options +
                                                  L" -- " + quoted(program));
    EXPECT_EQ(run.exit_code, c.exit_code);
    if (const auto ran = test::probe_started(setup)) {
      EXPECT_EQ(ran->outcome, "unset");
      EXPECT_EQ(ran->outcome_exit_code, "unset");
    }
    const auto relaunched = test::wait_until_started(app, c.outcome ? 3000 : 500);
    ASSERT_EQ(relaunched.has_value(), c.outcome != nullptr);
    if (relaunched) {
      EXPECT_EQ(relaunched->outcome, c.outcome);
      EXPECT_EQ(relaunched->outcome_exit_code, c.seen_exit_code);
      test::wait_for_pid(relaunched->pid);
    }
  }
  SetEnvironmentVariableW(L"RELAUNCHER_OUTCOME", nullptr);
  SetEnvironmentVariableW(L"RELAUNCHER_EXIT_CODE", nullptr);
}

TEST(Outcome, IsNeverARelaunchWhileTheApplicationMayStillBeThere) {
  using relauncher::ProgramEnd;
  relauncher::LaunchOptions options;
  options.relaunch_app = u"app.exe";
  options.relaunch_on_failure = true;
  const struct {
    ProgramEnd end;
    bool relaunched;
  } cases[] = {
      {ProgramEnd::application_running, false},  // the application is still there
      {ProgramEnd::not_waited_for, false},       // the installer may still be at work
      {ProgramEnd::folders_not_free, true},      // nothing was installed
      {ProgramEnd::not_started, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relauncher::decide_relaunch(options, c.end, -1).outcome.has_value(), c.relaunched)
        << static_cast<int>(c.end);
  }
  EXPECT_FALSE(relauncher::decide_relaunch(options, ProgramEnd::exited, 0, 1234).outcome)
      << "an instance the installer started is the one relaunch";
}

// Many installers start the application at their end, or leave one of its helpers
// running: with --wait-tree, those are the application's, and are not waited for.
TEST(Outcome, TheTreeWaitEndsWhenOnlyTheApplicationsOwnProcessesAreLeft) {
  const test::AppLayout layout;
  const TempDir& dir = layout.dir;
  const std::wstring &setup = layout.setup, &app = layout.app, &helper = layout.helper, &log = layout.log;
  const std::wstring work = test::copy_probe(dir, L"work.exe");
  const struct {
    std::wstring started;  // what the installer starts at its end
    std::wstring program;
    bool folder;      // with --wait-folder <app's folder>
    bool relaunched;  // else the installer's instance is the one
    bool waited;      // the relaunch came after `started` had ended
  } cases[] = {
      {app, setup, true, false, false},
      {helper, setup, true, true, false},
      {helper, setup, false, true, true},  // the image alone is the application's
      {work, setup, true, true, true},
      {L"", app, true, true, false},  // the application updating itself is the installer
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.started + L" " + c.program) + (c.folder ? " folder" : ""));
    test::forget_records({setup, app, helper, work});
    DeleteFileW(log.c_str());
    SetEnvironmentVariableW(L"PROBE_setup_START", c.started.c_str());
    SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", L"300");
    SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", c.program == app ? L"1000" : L"8000");
    SetEnvironmentVariableW(L"PROBE_helper_SLEEP_MS", L"2000");
    SetEnvironmentVariableW(L"PROBE_work_SLEEP_MS", L"2000");
    const ULONGLONG before = GetTickCount64();
    const test::ToolRun run = test::run_tool_with(
        L"--log " + quoted(log) + L" --wait-pid 1 --wait-tree " +
        (c.folder ? L"--wait-folder " + quoted(dir.file(L"app")) : L"") + L" --relaunch " + quoted(app) + L" -- " +
        quoted(c.program));
    const ULONGLONG took = GetTickCount64() - before;
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_LT(took, 6000u) << "the application's own processes held the wait";
    // The installer's instance has written its record before the installer ended; a
    // second instance would replace it within the next second.
    const auto first = c.relaunched ? std::nullopt : test::wait_until_started(app, 3000);
    Sleep(c.relaunched ? 0 : 1000);
    const auto instance = test::wait_until_started(app, 3000);
    ASSERT_TRUE(instance);
    if (!c.relaunched) {
      EXPECT_TRUE(first && first->pid == instance->pid) << "two instances";
    }
    if (c.relaunched && !c.started.empty()) {
      ASSERT_TRUE(test::wait_for_file(c.started + L".ended", 5000));
      EXPECT_EQ(test::probe_ended(c.started) < instance->start, c.waited);
    }
    const std::string logged = test::read_file(log).value_or("");
    EXPECT_EQ(logged.find("relaunch skipped: already running (pid " + std::to_string(instance->pid) +
                          ", started by the program)") != std::string::npos,
              !c.relaunched)
        << logged;
    for (const std::wstring& probe : {app, helper, work}) {
      if (const auto running = test::probe_started(probe)) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, running->pid);
        if (process != nullptr) {
          TerminateProcess(process, 0);
          test::finish(process);
        }
      }
    }
  }
  SetEnvironmentVariableW(L"PROBE_setup_START", nullptr);
}

// A busy Windows Installer (1618) is waited out: the program starts again after 5, then
// 10 s, within --retry-for, and the last start's outcome is the outcome.
TEST(Outcome, ABusyInstallerIsStartedAgainWithinItsBound) {
  const test::AppLayout layout;
  const struct {
    const wchar_t* exits;  // each start's exit code, the last one repeating
    const wchar_t* retry_for;
    DWORD exit_code;
    const char* starts;
    bool relaunched;
    const char* logged;  // nullptr: no retry line
  } cases[] = {
      {L"1618,1618,0", L"60", 0, "3", true, " retry code=1618 pause_s=10"},
      {L"1618", L"7", 1618, "2", false, " retry code=1618 pause_s=5"},
      {L"5,0", L"60", 5, "1", false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.exits));
    test::forget_records({layout.setup, layout.app});
    DeleteFileW((layout.setup + L".count").c_str());
    DeleteFileW(layout.log.c_str());
    SetEnvironmentVariableW(L"PROBE_setup_EXITS", c.exits);
    const ULONGLONG before = GetTickCount64();
    const test::ToolRun run = test::run_tool_with(L"--log " + quoted(layout.log) + L" --wait-pid 1 --retry-code 1618 " +
                                                  L"--retry-for " + c.retry_for + L" --relaunch " + quoted(layout.app) +
                                                  L" -- " + quoted(layout.setup));
    const ULONGLONG took = GetTickCount64() - before;
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(test::read_file(layout.setup + L".count").value_or(""), c.starts);
    const std::string logged = test::read_file(layout.log).value_or("");
    EXPECT_EQ(c.logged != nullptr && logged.find(c.logged) != std::string::npos, c.logged != nullptr) << logged;
    EXPECT_LT(took, 1000u * std::wcstoul(c.retry_for, nullptr, 10) + 3000u) << "retried beyond --retry-for";
    if (const auto relaunched = test::wait_until_started(layout.app, c.relaunched ? 3000 : 300)) {
      EXPECT_TRUE(c.relaunched);
      test::wait_for_pid(relaunched->pid);
    } else {
      EXPECT_FALSE(c.relaunched);
    }
  }
  SetEnvironmentVariableW(L"PROBE_setup_EXITS", nullptr);
}

// The pauses between starts, and the bound they keep.
TEST(Outcome, RetryPausesDoubleToAMinuteWithinTheBound) {
  relauncher::LaunchOptions options;
  options.retry_codes = {1618, 1641};
  options.retry_for_s = 600;
  const struct {
    std::int32_t exit_code;
    std::uint64_t since_first_ms;
    int retries_done;
    std::optional<std::uint32_t> pause_s;
  } cases[] = {
      {1618, 0, 0, 5},      {1641, 0, 0, 5},       {1618, 5000, 1, 10},   {1618, 15000, 2, 20},
      {1618, 35000, 3, 40}, {1618, 75000, 4, 60},  {1618, 135000, 5, 60}, {1618, 540000, 9, 60},
      {1618, 540001, 9, std::nullopt},             {0, 0, 0, std::nullopt}, {1619, 0, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relauncher::retry_pause_s(options, c.exit_code, c.since_first_ms, c.retries_done), c.pause_s)
        << c.exit_code << " " << c.since_first_ms << " " << c.retries_done;
  }
}

}  // namespace

#include "process/process.h"

#include <gtest/gtest.h>

#include "support.h"

namespace relauncher {
namespace {

using test::TempDir;
using test::still_running;

// A probe that keeps running for `sleep_ms`; the caller waits for and closes it.
HANDLE start_sleeper(const TempDir& dir, const std::wstring& stem, int sleep_ms) {
  const std::wstring probe = test::copy_probe(dir, stem + L".exe");
  SetEnvironmentVariableW((L"PROBE_" + stem + L"_SLEEP_MS").c_str(), std::to_wstring(sleep_ms).c_str());
  return test::start(probe, L"\"" + probe + L"\"");
}

TEST(WaitForProcess, ReturnsAtOnceWhenThereIsNothingToWaitFor) {
  TempDir dir;
  HANDLE bystander = start_sleeper(dir, L"bystander", 20000);
  const auto pid = static_cast<std::int64_t>(GetProcessId(bystander));
  const std::int64_t own = GetCurrentProcessId();
  const std::int64_t ids[] = {
      0, -1, -pid, INT64_MIN,
      0x7FFFFFF0,                    // no process has it
      (std::int64_t{1} << 32) | pid,  // its low bits name the bystander
      (std::int64_t{1} << 40) + pid,
      own,      // waiting for ourselves would never end
      own | 3,  // Windows ignores the low two bits
  };
  for (const std::int64_t id : ids) {
    wait_for_process(id);
    EXPECT_TRUE(still_running(bystander)) << "waited for " << id;
  }
  TerminateProcess(bystander, 0);
  WaitForSingleObject(bystander, INFINITE);  // so that its directory can go
  CloseHandle(bystander);
}

// Through the tool: in this process every process the test starts is newer than the
// caller, and so never waited for.
TEST(WaitForProcess, ReturnsOnlyAfterTheProcessHasEnded) {
  TempDir dir;
  HANDLE victim = start_sleeper(dir, L"victim", 1500);
  test::run_tool_with(L"--wait-pid " + std::to_wstring(GetProcessId(victim)) + L" -- " +
                      test::quoted(dir.file(L"missing.exe")));
  EXPECT_FALSE(still_running(victim));
  CloseHandle(victim);
}

TEST(Processes, LeaveNoHandleOpenOnAnyPath) {
  TempDir dir;
  const std::string probe = test::to_utf8(test::copy_probe(dir, L"leak.exe"));
  const std::string missing = test::to_utf8(dir.file(L"missing.exe"));
  HANDLE victim = start_sleeper(dir, L"leakvictim", 500);
  const DWORD victim_pid = GetProcessId(victim);

  const int before = test::count_open_handles();
  wait_for_process(victim_pid);
  EXPECT_EQ(test::count_open_handles(), before) << "wait_for_process";
  wait_for_process(0x7FFFFFF0);
  EXPECT_EQ(test::count_open_handles(), before) << "wait_for_process, no such process";
  EXPECT_EQ(run_and_wait(probe, {"x"}).exit_code, 0);
  EXPECT_EQ(test::count_open_handles(), before) << "run_and_wait";
  EXPECT_EQ(run_and_wait(missing, {}).exit_code, -1);
  EXPECT_EQ(test::count_open_handles(), before) << "run_and_wait, failed start";
  ProgramSettings tree;
  tree.wait_tree = true;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(run_and_wait(probe, {"x"}, tree).exit_code, 0);
  }
  EXPECT_EQ(test::count_open_handles(), before) << "run_and_wait, the tree's job or port";
  EXPECT_FALSE(launch_detached(probe, {}).error);
  EXPECT_EQ(test::count_open_handles(), before) << "launch_detached";
  EXPECT_TRUE(launch_detached(missing, {}).error);
  EXPECT_EQ(test::count_open_handles(), before) << "launch_detached, failed start";

  CloseHandle(victim);
  // Let the detached probe finish before its directory is removed.
  for (int i = 0; i < 100 && !test::probe_ended(test::from_utf8(probe)); ++i) {
    Sleep(50);
  }
}

TEST(LaunchDetached, ReportsTheWindowsErrorOfAFailedStart) {
  TempDir dir;
  const std::error_code missing = launch_detached(test::to_utf8(dir.file(L"missing.exe")), {}).error;
  EXPECT_EQ(missing, std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()));
  const std::error_code empty = launch_detached("", {}).error;
  EXPECT_TRUE(empty);
  EXPECT_EQ(empty.category(), std::system_category());
}

TEST(RunAndWait, GivesMinusOneWhenTheProgramCannotStart) {
  TempDir dir;
  EXPECT_EQ(run_and_wait(test::to_utf8(dir.file(L"missing.exe")), {"x"}).exit_code, -1);
  EXPECT_EQ(run_and_wait("", {}).exit_code, -1);
  EXPECT_EQ(run_and_wait(test::to_utf8(dir.path()), {}).exit_code, -1);
}

}  // namespace
}  // namespace relauncher

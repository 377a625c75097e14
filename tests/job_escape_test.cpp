// A caller in a job that ends its processes on close: relauncher leaves it, so that the
// caller's exit ends neither the install nor the relaunched application.

#include <gtest/gtest.h>

#include "support.h"

namespace {



// The tool, started in `job` (if any) before it runs a single instruction, as it would
// be by a caller that runs in that job.
HANDLE start_tool_in(HANDLE job, const std::wstring& arguments) {
  std::wstring command_line = test::quoted(test::tool_path()) + L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!test::create_process(test::tool_path().c_str(), command_line, nullptr, FALSE, CREATE_SUSPENDED, startup, info)) {
    throw std::runtime_error("cannot start the tool");
  }
  if (job != nullptr) {
    AssignProcessToJobObject(job, info.hProcess);
  }
  ResumeThread(info.hThread);
  CloseHandle(info.hThread);
  return info.hProcess;
}

HANDLE make_job(DWORD limits) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
  info.BasicLimitInformation.LimitFlags = limits;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof(info));
  return job;
}

TEST(JobEscape, TheHandOverOutlivesACallerWhoseJobEndsItsProcesses) {
  test::AppLayout layout;
  const DWORD kill = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  const struct {
    bool in_job;
    DWORD limits;
    bool caller_exits;  // the job is closed half a second after the start
    const char* logged;  // the `job` line; nullptr: none
    DWORD exit_code;     // as the caller sees it, when it waits
  } cases[] = {
      {true, kill | JOB_OBJECT_LIMIT_BREAKAWAY_OK, true, " job left: ", 0},
      {true, kill | JOB_OBJECT_LIMIT_BREAKAWAY_OK, false, " job left: ", 0xC0000005},
      {true, kill, false, " job stayed: leaving the caller's job failed, error 5 ", 0xC0000005},
      {false, 0, false, nullptr, 0xC0000005},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.limits) + (c.caller_exits ? " caller exits" : ""));
    test::forget_records({layout.setup, layout.app});
    DeleteFileW(layout.log.c_str());
    test::set_probe_exit(layout.setup, c.caller_exits ? 0 : 0xC0000005);
    SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", L"2000");
    SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", c.caller_exits ? L"4000" : L"0");
    HANDLE job = c.in_job ? make_job(c.limits) : nullptr;
    HANDLE tool = start_tool_in(job, L"--log " + test::quoted(layout.log) + L" --wait-pid 1 --relaunch-on-failure --relaunch " +
                                         test::quoted(layout.app) + L" -- " + test::quoted(layout.setup));
    if (c.caller_exits) {
      Sleep(500);
      CloseHandle(job);  // the caller's last handle: the job ends what is left in it
      job = nullptr;
      EXPECT_TRUE(test::wait_for_file(layout.setup + L".ended", 5000)) << "the install was cut short";
      const auto relaunched = test::wait_until_started(layout.app, 3000);
      ASSERT_TRUE(relaunched) << "nothing was relaunched";
      Sleep(2000);
      HANDLE app = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, relaunched->pid);
      EXPECT_TRUE(app != nullptr && test::still_running(app)) << "the application died with the caller";
      if (app != nullptr) {
        TerminateProcess(app, 0);
        test::finish(app);
      }
      CloseHandle(tool);
    } else {
      EXPECT_EQ(test::finish(tool), c.exit_code);
      if (const auto relaunched = test::wait_until_started(layout.app, 3000)) {
        test::wait_for_pid(relaunched->pid);
      }
    }
    const std::string logged = test::read_file(layout.log).value_or("");
    EXPECT_EQ(logged.find(" job ") != std::string::npos, c.logged != nullptr) << logged;
    if (c.logged != nullptr) {
      EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    }
    if (job != nullptr) {
      CloseHandle(job);
    }
  }
}

}  // namespace

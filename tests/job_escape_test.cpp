// A caller in a job that ends its processes on close: relauncher leaves it, so that the
// caller's exit ends neither the install nor the relaunched application.

#include <gtest/gtest.h>

#include "process/job_escape.h"
#include "support.h"

namespace {



// The tool, started in `job` (if any) before it runs a single instruction, as it would
// be by a caller that runs in that job.
HANDLE start_tool_in(HANDLE outer, HANDLE job, const std::wstring& arguments) {
  std::wstring command_line = test::quoted(test::tool_path()) + L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!test::create_process(test::tool_path().c_str(), command_line, nullptr, FALSE, CREATE_SUSPENDED, startup, info)) {
    throw std::runtime_error("cannot start the tool");
  }
  // A process put in a second job is in both, the second nested in the first.
  for (HANDLE each : {outer, job}) {
    if (each != nullptr) {
      AssignProcessToJobObject(each, info.hProcess);
    }
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

// Whether to try to leave: a job read as sparing its processes is left alone; one that
// kills them, or whose limits say nothing (as every job reads under Wine), is left.
TEST(JobEscape, TriesToLeaveUnlessTheJobReadsAsSparingItsProcesses) {
  const DWORD kill = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  const struct {
    bool in_job;
    std::optional<std::uint32_t> limits;
    bool leave;
  } cases[] = {
      {false, std::nullopt, false},
      {false, kill, false},
      {true, std::nullopt, true},
      {true, 0, true},
      {true, kill, true},
      {true, kill | JOB_OBJECT_LIMIT_BREAKAWAY_OK, true},
      {true, JOB_OBJECT_LIMIT_BREAKAWAY_OK, false},
      {true, JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_ACTIVE_PROCESS, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relauncher::should_leave_job(c.in_job, c.limits), c.leave)
        << c.in_job << " " << (c.limits ? std::to_string(*c.limits) : "unreadable");
  }
}

TEST(JobEscape, TheHandOverOutlivesACallerWhoseJobEndsItsProcesses) {
  test::AppLayout layout;
  const DWORD kill = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  const DWORD may_leave = kill | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  const struct {
    bool in_job;
    DWORD limits;
    bool caller_exits;  // the job is closed once relauncher has left it
    const char* logged;  // the `job` line; nullptr: none
    DWORD exit_code;     // as the caller sees it, when it waits
    bool nested;         // the job lies in an outer one that kills and forbids leaving
    bool caller_marks;   // the caller's environment holds the copy's mark
  } cases[] = {
      {true, may_leave, true, " job left: ", 0, false, false},
      {true, may_leave, false, " job left: ", 0xC0000005, false, false},
      // Wine reads every job's limits as none.
      {true, kill, false, " job stayed: the caller's job does not allow leaving and its limits read as none", 0xC0000005,
       false, false},
      {false, 0, false, nullptr, 0xC0000005, false, false},
      {true, may_leave, false, " job stayed: the copy is still in a job that may end its processes", 0xC0000005, true,
       false},
      {true, may_leave, false, " job left: ", 0xC0000005, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.limits) + (c.caller_exits ? " caller exits" : "") + (c.nested ? " nested" : "") +
                 (c.caller_marks ? " marked" : ""));
    test::forget_records({layout.setup, layout.app});
    DeleteFileW(layout.log.c_str());
    test::set_probe_exit(layout.setup, c.caller_exits ? 0 : 0xC0000005);
    SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", L"2000");
    SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", c.caller_exits ? L"4000" : L"0");
    HANDLE job = c.in_job ? make_job(c.limits) : nullptr;
    HANDLE outer = c.nested ? make_job(kill) : nullptr;
    // The mark names this very process, the tool's parent: still not a copy's starter.
    SetEnvironmentVariableW(L"RELAUNCHER_JOB_COPY",
                            c.caller_marks ? std::to_wstring(GetCurrentProcessId()).c_str() : nullptr);
    HANDLE tool = start_tool_in(outer, job, L"--log " + test::quoted(layout.log) + L" --wait-pid 1 --relaunch-on-failure --relaunch " +
                                         test::quoted(layout.app) + L" -- " + test::quoted(layout.setup));
    SetEnvironmentVariableW(L"RELAUNCHER_JOB_COPY", nullptr);
    if (c.caller_exits) {
      ASSERT_TRUE(test::wait_for_text(layout.log, " job left: "));
      CloseHandle(job);  // the caller's last handle: the job ends what is left in it
      job = nullptr;
      EXPECT_TRUE(test::wait_for_file(layout.setup + L".ended", 10000)) << "the install was cut short";
      const auto relaunched = test::wait_until_started(layout.app, 10000);
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
    // The copy's mark is for the copy alone: an application relaunched with it could never
    // leave its own caller's job when it hands over again.
    for (const std::wstring& probe : {layout.setup, layout.app}) {
      if (const auto record = test::probe_started(probe)) {
        EXPECT_EQ(record->job_copy, "unset") << test::to_utf8(probe);
      }
    }
    std::string logged = test::read_file(layout.log).value_or("");
    // Leaving the caller's console is not leaving its job: that line aside.
    const std::string console_left = " job left: the caller's console";
    const std::size_t console_line = logged.find(console_left);
    if (console_line != std::string::npos) {
      logged.erase(console_line, console_left.size());
    }
    EXPECT_EQ(logged.find(" job ") != std::string::npos, c.logged != nullptr) << logged;
    if (c.logged != nullptr) {
      EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    }
    for (HANDLE each : {job, outer}) {
      if (each != nullptr) {
        CloseHandle(each);
      }
    }
  }
}

}  // namespace

// relauncherw.exe, the windowless twin, side by side with relauncher.exe: the same
// hand-over, but its program gets no console window, where relauncher.exe's shares the
// tool's console. Either way the relaunched application is detached, in a group of its own.

#include <gtest/gtest.h>

#include <algorithm>

#include "support.h"

namespace {

using test::TempDir;
using test::quoted;

TEST(Twin, HandsOverLikeTheConsoleToolButGivesTheProgramNoConsoleWindow) {
  for (const bool twin : {false, true}) {
    SCOPED_TRACE(twin ? "relauncherw.exe" : "relauncher.exe");
    const std::wstring exe = twin ? test::twin_path() : test::tool_path();
    for (const DWORD code : {0x80000000u, 0xFFFFFFFFu, 3u, 0u}) {
      TempDir dir;
      const std::wstring victim = test::copy_probe(dir, L"victim.exe");
      const std::wstring setup = test::copy_probe(dir, L"setup.exe");
      const std::wstring app = test::copy_probe(dir, L"app.exe");
      SetEnvironmentVariableW(L"PROBE_victim_SLEEP_MS", L"500");
      SetEnvironmentVariableW(L"PROBE_setup_EXIT", std::to_wstring(code).c_str());
      HANDLE victim_process = test::start(victim, quoted(victim));
      const std::wstring arguments = L"--wait-pid " + std::to_wstring(GetProcessId(victim_process)) +
                                     L" --relaunch " + quoted(app) + L" -- " + quoted(setup) + L" /quiet \"a b\"";
      // As an updater would start it: with no console window of its own.
      const test::ToolRun run = test::run_tool_with(arguments, true, exe);
      CloseHandle(victim_process);
      EXPECT_EQ(run.exit_code, code);

      const auto ended = test::probe_ended(victim);
      const auto program = test::probe_started(setup);
      ASSERT_TRUE(ended && program);
      EXPECT_GT(program->start, *ended);
      EXPECT_EQ(program->command_line, quoted(setup) + L" \"/quiet\" \"a b\"");
      EXPECT_FALSE(program->new_group);
      // A console of its own, shared with nobody: relauncher.exe has left its console, and
      // the twin never had one.
      EXPECT_EQ(program->console_processes, std::vector<DWORD>{program->pid});

      const auto record = test::wait_until_started(app, code == 0 ? 3000 : 300);
      ASSERT_EQ(record.has_value(), code == 0) << code;
      if (record) {
        EXPECT_FALSE(record->console) << "the relaunched application is not detached";
        EXPECT_TRUE(record->new_group) << "the relaunched application is not in a new process group";
        test::wait_for_pid(record->pid);
      }
    }
  }
}

TEST(Twin, GivesItsProgramNoConsoleEvenWhenItHasOne) {
  // Under Wine a windowed program started by a console program shares its console
  // (Windows gives it none): started by relauncher.exe, the twin has one to pass on,
  // and only CREATE_NO_WINDOW keeps its program off it.
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const test::ToolRun run = test::run_tool_with(
      L"--wait-pid 1 -- " + quoted(test::twin_path()) + L" --wait-pid 1 -- " + quoted(setup), true);
  EXPECT_EQ(run.exit_code, 0u);
  const auto program = test::probe_started(setup);
  ASSERT_TRUE(program);
  EXPECT_EQ(program->console_processes, std::vector<DWORD>{program->pid});
}

TEST(Twin, WritesTheUsageLineOnlyWhereTheCallerHandedItStandardError) {
  const test::ToolRun piped = test::run_tool(L"relauncherw.exe --wait-pid 5", false, test::twin_path());
  EXPECT_EQ(piped.exit_code, 2u);
  EXPECT_EQ(piped.error_output,
            "relauncherw.exe: usage: --wait-pid <pid> [--relaunch <app>] -- <program> [args...]\r\n");
  // Started with no standard handles at all, it still just exits with 2.
  EXPECT_EQ(test::run_tool(L"relauncherw.exe --wait-pid 5", true, test::twin_path()).exit_code, 2u);
}

}  // namespace

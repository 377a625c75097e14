// Installers that read their own command line, and installers that hand their work to
// a process of their own and exit: a real NSIS installer and uninstaller, built by
// makensis, run through the built relauncher.exe.

#include <gtest/gtest.h>

#include <cstdlib>

#include "support.h"

namespace {

using test::TempDir;
using test::quoted;

std::wstring copy_installer(const TempDir& dir) {
  return test::copy_from_build(dir, L"nsis-installer.exe", L"nsis-installer.exe");
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(Installers, GetTheirOwnSwitchesWithVerbatim) {
  TempDir dir;
  const std::wstring installer = copy_installer(dir);
  const std::wstring target = dir.file(L"App Dir");
  const std::wstring probe = test::copy_probe(dir, L"msi.exe");
  const std::wstring script = dir.file(L"setup.cmd");
  test::write_file(script, "@echo ran>\"%~dp0script.txt\"\r\n");
  const std::wstring log = dir.file(L"relauncher.log");
  SetEnvironmentVariableW(L"NSIS_SETUP_EXIT", L"3");
  const struct {
    std::wstring arguments;  // after --log <file>
    DWORD exit_code;
    std::wstring file;          // what the program wrote, or L"" for nothing to read
    std::string written;        // part of what it wrote
    std::string logged;         // part of the log
  } cases[] = {
      // NSIS reads /S only bare, and /D= only last and unquoted, spaces and all.
      {L"--verbatim --wait-pid 1 -- " + quoted(installer) + L" /S /D=" + target, 3, target + L"\\installed.txt",
       "silent=1\r\ninstdir=" + test::to_utf8(target), "exit code=3 "},
      // Without --verbatim every piece is quoted, as ever: NSIS then shows its wizard.
      {L"--wait-pid 1 -- " + quoted(installer) + L" /S \"/D=" + target + L"\"", 5, dir.file(L"wizard.txt"),
       "silent=0\r\ninstdir=" + test::to_utf8(dir.file(L"default folder")) + "\r\ncmdline=" +
           test::to_utf8(quoted(installer) + L" \"/S\" \"/D=" + target + L"\""),
       "exit code=5 "},
      // The msiexec form: the caller writes the quotes; an empty argument leaves its space.
      {L"--verbatim --wait-pid 1 -- " + quoted(probe) + LR"( /i "" "INSTALLDIR=\"C:\Program Files\X\"")", 0,
       probe + L".started", "command_line=" + test::to_utf8(quoted(probe)) + R"( /i  INSTALLDIR="C:\Program Files\X")",
       "exit code=0 "},
      // cmd.exe would act on the raw text of a batch file's line: refused, nothing runs.
      {L"--verbatim --wait-pid 1 -- " + quoted(script) + L" a", 0xFFFFFFFF, L"", "",
       "run refused: --verbatim cannot be used with a batch file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.arguments));
    DeleteFileW(log.c_str());
    const test::ToolRun run = test::run_tool_with(L"--log " + quoted(log) + L" " + c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code);
    if (!c.file.empty()) {
      EXPECT_TRUE(contains(test::read_file(c.file).value_or("(missing)"), c.written)) << test::read_file(c.file).value_or("");
    }
    EXPECT_TRUE(contains(test::read_file(log).value_or(""), c.logged)) << test::read_file(log).value_or("");
  }
  EXPECT_FALSE(test::read_file(dir.file(L"script.txt")));
}

TEST(Installers, ThatHandOffAreWaitedForToTheEndWithWaitTree) {
  TempDir dir;
  const std::wstring installer = copy_installer(dir);
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  SetEnvironmentVariableW(L"NSIS_SETUP_EXIT", nullptr);
  const struct {
    const wchar_t* options;
    bool relaunched_after_the_work;
    const char* waited_for;
  } cases[] = {
      {L"--wait-tree", true, "waited_for=tree"},
      // The uninstaller starts a copy of itself and exits at once: the plain wait ends
      // there, and the application comes back mid-uninstall.
      {L"", false, "after_ms="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.options));
    const std::wstring target = dir.file(L"App Dir");
    const std::wstring log = dir.file(L"relauncher.log");
    DeleteFileW(log.c_str());
    DeleteFileW((app + L".started").c_str());
    DeleteFileW((target + L".uninstalled").c_str());
    ASSERT_EQ(test::run_tool_with(L"--verbatim --wait-pid 1 -- " + quoted(installer) + L" /S /D=" + target).exit_code, 0u);
    const test::ToolRun run =
        test::run_tool_with(L"--log " + quoted(log) + L" " + c.options + L" --verbatim --wait-pid 1 --relaunch " +
                            quoted(app) + L" -- " + quoted(target + L"\\uninstall.exe") + L" /S");
    EXPECT_EQ(run.exit_code, 0u);
    const auto relaunched = test::wait_until_started(app, 3000);
    const auto done = test::wait_for_file(target + L".uninstalled", 10000);
    ASSERT_TRUE(relaunched && done);
    const long long finished = std::strtoll(done->c_str() + 4, nullptr, 10);
    EXPECT_EQ(relaunched->start > finished, c.relaunched_after_the_work);
    EXPECT_FALSE(relaunched->in_job) << "the relaunched application must not be in the program's job";
    EXPECT_TRUE(contains(test::read_file(log).value_or(""), c.waited_for));
    test::wait_for_pid(relaunched->pid);
  }
}

// The tree's job kills nothing when relauncher ends, and lets a child leave that asks to.
TEST(Installers, TheTreesJobNeitherEndsTheInstallerNorHoldsAChildThatLeaves) {
  test::AppLayout layout;
  const std::wstring work = test::copy_probe(layout.dir, L"work.exe");
  const struct {
    bool end_tool;        // relauncher is ended while it waits
    const wchar_t* flags;  // how the installer starts work.exe; none: it starts nothing
  } cases[] = {
      {true, L""},
      {false, L"0x01000000"},  // CREATE_BREAKAWAY_FROM_JOB
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.end_tool);
    test::forget_records({layout.setup, work});
    SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", L"1500");
    SetEnvironmentVariableW(L"PROBE_setup_START", *c.flags ? work.c_str() : nullptr);
    SetEnvironmentVariableW(L"PROBE_setup_START_FLAGS", c.flags);
    SetEnvironmentVariableW(L"PROBE_work_SLEEP_MS", L"4000");
    test::set_probe_exit(layout.setup, 0);
    HANDLE tool = test::start(test::tool_path(), test::quoted(test::tool_path()) + L" --wait-pid 1 --wait-tree -- " +
                                                     test::quoted(layout.setup));
    if (c.end_tool) {
      ASSERT_TRUE(test::wait_until_started(layout.setup, 3000));
      TerminateProcess(tool, 1);
      EXPECT_TRUE(test::wait_for_file(layout.setup + L".ended", 4000)) << "the installer was ended with relauncher";
      test::finish(tool);
      continue;
    }
    EXPECT_EQ(test::finish(tool), 0u) << "the child's start failed";
    EXPECT_TRUE(test::probe_started(work));
    EXPECT_FALSE(test::probe_ended(work)) << "a child that left the job was waited for";
    test::wait_for_file(work + L".ended", 6000);
  }
  SetEnvironmentVariableW(L"PROBE_setup_START", nullptr);
}

}  // namespace

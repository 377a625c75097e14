// --wait-folder and --end-folder-processes through the built relauncher.exe: copies of
// the probe run from folders, and the program must start only once none runs any more.

#include <gtest/gtest.h>

#include <algorithm>

#include "support.h"

namespace {

using test::TempDir;
using test::quoted;

// The program's first instruction came after `probe`'s last.
bool started_after_end_of(const std::wstring& program, const std::wstring& probe) {
  const auto started = test::probe_started(program);
  const auto ended = test::probe_ended(probe);
  return started && ended && *ended < started->start;
}

TEST(FolderWait, WaitsForEveryProcessFromTheFoldersAndNoOther) {
  TempDir dir;
  test::make_folder(dir, L"app\\sub");
  test::make_folder(dir, L"app2");
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app\\app.exe");
  const struct {
    const wchar_t* folder;  // relative to `dir`, unless `from_dir`: then as given, from there
    bool from_dir;
    const wchar_t* helper;
    unsigned sleep_ms;
    bool waited;
  } cases[] = {
      {L"app", false, L"app\\helper.exe", 1200, true},
      {L"app", false, L"app\\sub\\deep.exe", 1200, true},
      {L"app", false, L"app2\\sibling.exe", 2500, false},
      {L"APP/./sub/../", false, L"app\\other.exe", 1200, true},
      {L"app", true, L"app\\relative.exe", 1200, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.helper));
    const std::wstring helper = test::copy_probe(dir, c.helper);
    DeleteFileW((setup + L".started").c_str());
    HANDLE application = test::start_probe(app, 200);
    HANDLE helper_process = test::start_probe(helper, c.sleep_ms);
    ASSERT_TRUE(test::wait_until_started(helper, 3000));
    const std::wstring folder = c.from_dir ? c.folder : dir.path() + L"\\" + c.folder;
    wchar_t before[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, before);
    SetCurrentDirectoryW(c.from_dir ? dir.path().c_str() : before);
    const test::ToolRun run = test::run_tool_with(L"--wait-pid " + std::to_wstring(GetProcessId(application)) +
                                                  L" --wait-folder " + quoted(folder) + L" -- " + quoted(setup));
    SetCurrentDirectoryW(before);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(test::finish(helper_process), 0u);
    EXPECT_EQ(started_after_end_of(setup, helper), c.waited);
    test::finish(application);
  }
}

TEST(FolderWait, LooksAgainAndCopesWithManyProcessesAndWithCopiesOfItself) {
  TempDir dir;
  test::make_folder(dir, L"app");
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring folder = quoted(dir.file(L"app"));

  // A helper started from the folder while the tool waits is waited for too.
  const std::wstring first = test::copy_probe(dir, L"app\\first.exe");
  const std::wstring late = test::copy_probe(dir, L"app\\late.exe");
  HANDLE first_process = test::start_probe(first, 800);
  ASSERT_TRUE(test::wait_until_started(first, 3000));
  HANDLE tool = test::start(test::tool_path(), quoted(test::tool_path()) + L" --wait-pid 1 --wait-folder " + folder +
                                                   L" -- " + quoted(setup));
  Sleep(400);
  HANDLE late_process = test::start_probe(late, 1500);
  EXPECT_EQ(test::finish(tool), 0u);
  EXPECT_TRUE(started_after_end_of(setup, late)) << "a helper started during the wait was not waited for";
  test::finish(first_process);
  test::finish(late_process);

  // More processes than one wait can take.
  std::vector<std::wstring> many;
  std::vector<HANDLE> running;
  for (int i = 0; i < 70; ++i) {
    many.push_back(test::copy_probe(dir, L"app\\many" + std::to_wstring(i) + L".exe"));
    running.push_back(test::start_probe(many.back(), 1500 + 10 * i));
  }
  DeleteFileW((setup + L".started").c_str());
  EXPECT_EQ(test::run_tool_with(L"--wait-pid 1 --wait-folder " + folder + L" -- " + quoted(setup)).exit_code, 0u);
  for (std::size_t i = 0; i < many.size(); ++i) {
    EXPECT_TRUE(started_after_end_of(setup, many[i])) << i;
    test::finish(running[i]);
  }

  // The tool run from the folder, and the copy of it that it starts (as it does to leave
  // its caller's job), count neither themselves nor each other, and end neither.
  const std::wstring tool_copy = test::copy_from_build(dir, L"relauncher.exe", L"app\\relauncher.exe");
  const std::wstring options = L" --wait-pid 1 --wait-folder " + folder + L" --wait-timeout 3 --end-folder-processes";
  DeleteFileW((setup + L".started").c_str());
  test::set_probe_exit(setup, 5);
  const test::ToolRun nested = test::run_tool(quoted(tool_copy) + options + L" -- " + quoted(tool_copy) + options +
                                                  L" -- " + quoted(setup),
                                              false, tool_copy);
  EXPECT_EQ(nested.exit_code, 5u);
  EXPECT_TRUE(test::probe_started(setup));
}

TEST(FolderWait, GivesUpOrEndsWhatIsLeftWhenTimeRunsOut) {
  const test::AppLayout layout;
  const TempDir& dir = layout.dir;
  const std::wstring &setup = layout.setup, &app = layout.app, &helper = layout.helper, &log = layout.log;
  const struct {
    bool end;
    unsigned app_ms;  // the application outlives the timeout: nothing is ended
    DWORD exit_code;
    bool helper_ended;
    const char* logged;
  } cases[] = {
      {false, 100, 0xFFFFFFFF, false, " wait still running pid="},
      {true, 100, 7, true, " wait ended pid="},
      {true, 3000, 0xFFFFFFFF, false, " wait pid="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    DeleteFileW(log.c_str());
    DeleteFileW((setup + L".started").c_str());
    HANDLE application = test::start_probe(app, c.app_ms);
    HANDLE helper_process = test::start_probe(helper, 20000);
    ASSERT_TRUE(test::wait_until_started(helper, 3000));
    test::set_probe_exit(setup, 7);
    const test::ToolRun run = test::run_tool_with(
        L"--log " + quoted(log) + L" --wait-pid " + std::to_wstring(GetProcessId(application)) + L" --wait-folder " +
        quoted(dir.file(L"app")) + L" --wait-timeout 1 " + (c.end ? L"--end-folder-processes " : L"") + L"-- " +
        quoted(setup));
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(test::still_running(helper_process), !c.helper_ended);
    EXPECT_EQ(test::probe_started(setup).has_value(), c.exit_code == 7);
    const std::string logged = test::read_file(log).value_or("");
    const std::string names = std::string(c.logged) + std::to_string(GetProcessId(helper_process)) + " image=\"" +
                              test::to_utf8(helper) + "\"";
    EXPECT_EQ(logged.find(names) != std::string::npos, c.app_ms < 1000) << logged;
    TerminateProcess(helper_process, 0);
    test::finish(helper_process);
    test::finish(application);
  }
}

}  // namespace

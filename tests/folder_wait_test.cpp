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
  // A folder given by its 8.3 short name holds the processes that run under its long one.
  const std::wstring long_folder = test::make_folder(dir, L"application folder");
  wchar_t short_folder[MAX_PATH];
  ASSERT_NE(GetShortPathNameW(long_folder.c_str(), short_folder, MAX_PATH), 0u);
  ASSERT_NE(std::wstring(short_folder), long_folder);
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app\\app.exe");
  const struct {
    const wchar_t* folder;  // relative to `dir`, unless `from_dir`: then as given, from there
    bool from_dir;
    const wchar_t* prefix;  // written before the whole path: a device form of it
    const wchar_t* helper;
    unsigned sleep_ms;
    bool waited;
  } cases[] = {
      {L"app", false, L"", L"app\\helper.exe", 1200, true},
      {L"app", false, L"", L"app\\sub\\deep.exe", 1200, true},
      {L"app", false, L"", L"app2\\sibling.exe", 2500, false},
      {L"APP/./sub/../", false, L"", L"app\\other.exe", 1200, true},
      {L"app", true, L"", L"app\\relative.exe", 1200, true},
      {L"app", false, L"\\\\.\\", L"app\\device.exe", 1200, true},
      {L"app", false, L"\\\\?\\", L"app\\literal.exe", 1200, true},
      {short_folder, true, L"", L"application folder\\long.exe", 1200, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.helper));
    const std::wstring helper = test::copy_probe(dir, c.helper);
    DeleteFileW((setup + L".started").c_str());
    HANDLE application = test::start_probe(app, 200);
    HANDLE helper_process = test::start_probe(helper, c.sleep_ms);
    ASSERT_TRUE(test::wait_until_started(helper, 3000));
    const std::wstring folder = c.prefix + (c.from_dir ? c.folder : dir.path() + L"\\" + c.folder);
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

std::int64_t now_counter() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

// The last process of the folders ends just after one of the once-a-second looks: the
// program must start then, as the end is seen through the process's handle, and not at
// the next look. The wait's first look comes right after the log's pid line.
TEST(FolderWait, StartsTheProgramWhenTheLastProcessEndsNotAtTheNextLook) {
  TempDir dir;
  test::make_folder(dir, L"app");
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring helper = test::copy_probe(dir, L"app\\helper.exe");
  const std::wstring log = dir.file(L"wait.log");
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  HANDLE helper_process = test::start_probe(helper, 20000);
  ASSERT_TRUE(test::wait_until_started(helper, 3000));
  HANDLE tool = test::start(test::tool_path(), test::quoted(test::tool_path()) + L" --log " + test::quoted(log) +
                                                   L" --wait-pid 1 --wait-folder " + test::quoted(dir.file(L"app")) +
                                                   L" -- " + test::quoted(setup));
  std::int64_t first_look = 0;
  for (int waited = 0; waited < 10000 && first_look == 0; waited += 5) {
    if (test::read_growing(log).find(" wait pid=1 ") != std::string::npos) {
      first_look = now_counter();
    }
    Sleep(5);
  }
  ASSERT_NE(first_look, 0);
  const std::int64_t second = frequency.QuadPart;
  // A quarter of a second after the look at one second: the next is due at two.
  while (now_counter() < first_look + second + second / 4) {
    Sleep(5);
  }
  TerminateProcess(helper_process, 0);
  test::finish(helper_process);
  EXPECT_EQ(test::finish(tool), 0u);
  const auto started = test::probe_started(setup);
  ASSERT_TRUE(started);
  EXPECT_LT(started->start, first_look + 2 * second) << "the program waited for the next look\n"
                                                      << test::read_file(log).value_or("");
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

  // A caller that runs from the folder and is not relauncher is waited for like any other.
  const std::wstring caller = test::copy_probe(dir, L"app\\caller.exe");
  const std::wstring log = dir.file(L"caller.log");
  test::forget_records({setup, caller});
  test::set_probe_exit(setup, 0);
  SetEnvironmentVariableW(L"PROBE_caller_START", test::tool_path().c_str());
  SetEnvironmentVariableW(L"PROBE_caller_START_ARGS",
                          (L"--log " + quoted(log) + L" --wait-pid 1 --wait-folder " + folder + L" -- " + quoted(setup)).c_str());
  test::finish(test::start_probe(caller, 1500));
  SetEnvironmentVariableW(L"PROBE_caller_START", nullptr);
  ASSERT_TRUE(test::wait_until_started(setup, 5000));
  EXPECT_TRUE(started_after_end_of(setup, caller)) << "the caller was taken for relauncher's own copy";
  EXPECT_NE(test::read_file(log).value_or("").find(" processes=1 "), std::string::npos) << test::read_file(log).value_or("");
}

TEST(FolderWait, GivesUpOrEndsWhatIsLeftWhenTimeRunsOut) {
  const test::AppLayout layout;
  const TempDir& dir = layout.dir;
  const std::wstring &setup = layout.setup, &app = layout.app, &helper = layout.helper, &log = layout.log;
  // A second folder, which holds neither the application nor its relaunch path: its
  // processes are waited for and never ended.
  test::make_folder(dir, L"shared");
  const std::wstring neighbour = test::copy_probe(dir, L"shared\\neighbour.exe");
  const struct {
    bool end;
    unsigned app_ms;  // the application outlives the timeout: nothing is ended
    bool second_folder;
    DWORD exit_code;
    bool helper_ended;
    const char* logged;
  } cases[] = {
      {false, 100, false, 0xFFFFFFFF, false, " wait still running pid="},
      {true, 100, false, 7, true, " wait ended pid="},
      {true, 3000, false, 0xFFFFFFFF, false, " wait pid="},
      {true, 100, true, 0xFFFFFFFF, true, " wait ended pid="},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.logged) + (c.second_folder ? " second folder" : ""));
    DeleteFileW(log.c_str());
    DeleteFileW((setup + L".started").c_str());
    HANDLE application = test::start_probe(app, c.app_ms);
    HANDLE helper_process = test::start_probe(helper, 20000);
    HANDLE neighbour_process = c.second_folder ? test::start_probe(neighbour, 20000) : nullptr;
    ASSERT_TRUE(test::wait_until_started(helper, 3000));
    ASSERT_TRUE(!c.second_folder || test::wait_until_started(neighbour, 3000));
    test::set_probe_exit(setup, 7);
    const std::wstring second = c.second_folder ? L" --wait-folder " + quoted(dir.file(L"shared")) : L"";
    const test::ToolRun run = test::run_tool_with(
        L"--log " + quoted(log) + L" --wait-pid " + std::to_wstring(GetProcessId(application)) + L" --wait-folder " +
        quoted(dir.file(L"app")) + second + L" --wait-timeout 1 " + (c.end ? L"--end-folder-processes " : L"") +
        L"-- " + quoted(setup));
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(test::still_running(helper_process), !c.helper_ended);
    if (c.helper_ended) {
      DWORD ended_with = 0;
      EXPECT_TRUE(GetExitCodeProcess(helper_process, &ended_with) && ended_with == 1) << ended_with;
    }
    if (neighbour_process != nullptr) {
      EXPECT_TRUE(test::still_running(neighbour_process)) << "a process outside the application's folder was ended";
      EXPECT_NE(test::read_file(log).value_or("").find(
                    "\\shared\" holds neither the application nor the --wait-pid process: waited for, never ended"),
                std::string::npos);
      TerminateProcess(neighbour_process, 0);
      test::finish(neighbour_process);
    }
    EXPECT_EQ(test::probe_started(setup).has_value(), c.exit_code == 7);
    const std::string logged = test::read_file(log).value_or("");
    const std::string names = std::string(c.logged) + std::to_string(GetProcessId(helper_process)) + " image=\"" +
                              test::to_utf8(helper) + "\"";
    EXPECT_EQ(logged.find(names) != std::string::npos, c.app_ms < 1000) << logged;
    TerminateProcess(helper_process, 0);
    test::finish(helper_process);
    test::finish(application);
  }

  // The two waits share one bound: an application that ends after 4 s leaves the folder
  // wait 2 s of a 6 s timeout, not 6 more.
  HANDLE application = test::start_probe(app, 4000);
  HANDLE helper_process = test::start_probe(helper, 30000);
  ASSERT_TRUE(test::wait_until_started(helper, 3000));
  const ULONGLONG before = GetTickCount64();
  const test::ToolRun run = test::run_tool_with(L"--wait-pid " + std::to_wstring(GetProcessId(application)) +
                                                L" --wait-folder " + quoted(dir.file(L"app")) + L" --wait-timeout 6 -- " +
                                                quoted(setup));
  const ULONGLONG took = GetTickCount64() - before;
  EXPECT_EQ(run.exit_code, 0xFFFFFFFFu);
  EXPECT_GE(took, 5500u);
  EXPECT_LT(took, 8000u) << "each wait had the whole timeout";
  TerminateProcess(helper_process, 0);
  test::finish(helper_process);
  test::finish(application);
}

}  // namespace

// The progress window, seen from outside as a user (and the system) would: run under a
// real X server with Wine's desktop (tests/progress_test.sh), never with the rest of the
// suite, which needs no display.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "driver/run.h"
#include "support.h"

namespace {



struct Seen {
  std::size_t most_visible = 0;  // visible top-level windows of the tool at one time
  std::wstring text;
  LARGE_INTEGER first{}, last{};  // when the window was first and last seen
  bool stole_focus = false;
  LRESULT end_session = -1;  // the answer to WM_QUERYENDSESSION, once asked
  bool hid_after_close = false;
};

std::vector<HWND> visible_windows(DWORD pid) {
  std::vector<HWND> found;
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, nullptr, nullptr)) != nullptr) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == pid && IsWindowVisible(window)) {
      found.push_back(window);
    }
  }
  return found;
}

// Watches the tool's windows until `process` ends; with `close`, sends WM_CLOSE to the
// window as soon as it shows.
Seen watch(HANDLE process, DWORD pid, HWND focus, bool close) {
  Seen seen;
  while (test::still_running(process)) {
    const std::vector<HWND> windows = visible_windows(pid);
    seen.most_visible = std::max(seen.most_visible, windows.size());
    if (!windows.empty()) {
      QueryPerformanceCounter(&seen.last);
      if (seen.text.empty()) {
        seen.first = seen.last;
        wchar_t text[256] = L"";
        GetWindowTextW(windows[0], text, 256);
        seen.text = text;
        DWORD_PTR answer = 0;
        if (SendMessageTimeoutW(windows[0], WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 1000, &answer)) {
          seen.end_session = static_cast<LRESULT>(answer);
        }
        if (close) {
          PostMessageW(windows[0], WM_CLOSE, 0, 0);
          Sleep(300);
          seen.hid_after_close = !IsWindowVisible(windows[0]);
        }
      }
      seen.stole_focus = seen.stole_focus || GetForegroundWindow() != focus;
    }
    Sleep(25);
  }
  return seen;
}

HWND focused_window() {
  HWND window = CreateWindowExW(0, L"STATIC", L"the user's window", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                nullptr, nullptr, nullptr, nullptr);
  SetForegroundWindow(window);
  return window;
}

TEST(Progress, ShowsAWindowOnlyWhileALongInstallRunsAndNeverTakesTheFocus) {
  test::AppLayout layout;
  HWND focus = focused_window();
  ASSERT_NE(focus, nullptr);
  const struct {
    std::wstring exe;
    const wchar_t* options;
    unsigned setup_ms;
    bool close;
    LRESULT end_session;  // -1: no window expected
  } cases[] = {
      {test::tool_path(), L"--progress \"Updating Example\"", 3000, false, TRUE},
      {test::tool_path(), L"--progress \"Updating Example\" --hold-shutdown", 3000, false, FALSE},
      {test::tool_path(), L"--progress \"Updating Example\"", 3000, true, TRUE},
      {test::twin_path(), L"--progress \"Updating Example\"", 3000, false, TRUE},
      {test::tool_path(), L"--progress \"Updating Example\"", 300, false, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.options) + (c.close ? " close" : "") + " " + std::to_string(c.setup_ms));
    DeleteFileW((layout.app + L".started").c_str());
    DeleteFileW(layout.log.c_str());
    test::set_probe_exit(layout.setup, 0);
    SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", std::to_wstring(c.setup_ms).c_str());
    SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", L"0");
    HANDLE tool = test::start(c.exe, test::quoted(c.exe) + L" --log " + test::quoted(layout.log) +
                                         L" --wait-pid 1 --relaunch " + test::quoted(layout.app) + L" " +
                                         c.options + L" -- " + test::quoted(layout.setup));
    const Seen seen = watch(tool, GetProcessId(tool), focus, c.close);
    EXPECT_EQ(test::finish(tool), 0u) << "the window changed the outcome";
    const auto setup = test::probe_started(layout.setup);
    const auto relaunched = test::wait_until_started(layout.app, 3000);
    ASSERT_TRUE(setup && relaunched);
    if (c.end_session == -1) {
      EXPECT_EQ(seen.most_visible, 0u) << "a quick install showed a window";
      continue;
    }
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    EXPECT_EQ(seen.most_visible, 1u);
    EXPECT_EQ(seen.text, L"Updating Example");
    EXPECT_GE(seen.first.QuadPart - setup->start, frequency.QuadPart * 9 / 10) << "shown before a second had passed";
    EXPECT_LT(seen.last.QuadPart, relaunched->start) << "still shown when the application came back";
    // Closed before the relaunch, not by the tool's exit just after it.
    const std::string logged = test::read_file(layout.log).value_or("");
    EXPECT_LT(logged.find(" progress shown after_ms="), logged.find(" relaunch pid=")) << logged;
    EXPECT_FALSE(seen.stole_focus);
    EXPECT_EQ(seen.end_session, c.end_session);
    EXPECT_FALSE(seen.hid_after_close);
  }
  DestroyWindow(focus);
}

// The window shows the icon of the application it will relaunch, where that has one (the
// NSIS installer does; the probe does not). The program fails, so nothing is relaunched.
// Run in the test's process: Wine answers WM_GETICON from another process with nothing.
TEST(Progress, ShowsTheIconOfTheApplicationToBeRelaunched) {
  test::AppLayout layout;
  const std::wstring with_icon = test::copy_from_build(layout.dir, L"nsis-installer.exe", L"app\\installer.exe");
  test::set_probe_exit(layout.setup, 5);
  SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", L"2500");
  relauncher::TestSeams seams;
  seams.stay_in_job = true;
  for (const std::wstring& relaunch : {layout.app, with_icon}) {
    SCOPED_TRACE(test::to_utf8(relaunch));
    std::atomic<int> icon{-1};  // -1: no window seen
    std::thread watcher([&icon] {
      for (int i = 0; i < 100 && icon < 0; ++i, Sleep(50)) {
        HWND window = FindWindowW(L"relauncher.progress", nullptr);
        if (window != nullptr && IsWindowVisible(window)) {
          icon = SendMessageW(window, WM_GETICON, ICON_BIG, 0) != 0 ? 1 : 0;
        }
      }
    });
    const std::vector<std::string> args = {"--wait-pid", "1", "--relaunch", test::to_utf8(relaunch),
                                           "--progress", "Updating", "--", test::to_utf8(layout.setup)};
    EXPECT_EQ(relauncher::run(args, std::string("relauncher.exe"), stderr, {}, seams), 5);
    watcher.join();
    EXPECT_EQ(icon, relaunch == with_icon ? 1 : 0);
  }
}

// A hung window must not hold up the hand-over: the stall is made in the tool's own
// run, here in the test's process, by a seam no command line reaches.
TEST(Progress, AHungWindowDelaysNeitherTheExitCodeNorTheRelaunch) {
  test::AppLayout layout;
  test::set_probe_exit(layout.setup, 7);
  SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", L"2000");
  SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", L"0");
  relauncher::TestSeams seams;
  seams.stall_progress_window = true;
  seams.stay_in_job = true;
  const std::vector<std::string> args = {"--wait-pid", "1", "--relaunch-on-failure", "--relaunch",
                                         test::to_utf8(layout.app), "--progress", "Updating", "--",
                                         test::to_utf8(layout.setup)};
  EXPECT_EQ(relauncher::run(args, std::string("relauncher.exe"), stderr, {}, seams), 7);
  const auto ended = test::probe_ended(layout.setup);
  const auto relaunched = test::wait_until_started(layout.app, 3000);
  ASSERT_TRUE(ended && relaunched);
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  EXPECT_LT(relaunched->start - *ended, frequency.QuadPart * 3 / 2) << "the relaunch waited for the hung window";
}

}  // namespace

namespace {

// The session-end window of a relauncher process, once it stands; null otherwise.
struct FoundWindow {
  DWORD pid;
  HWND window;
};

BOOL CALLBACK find_session_window(HWND window, LPARAM context) {
  auto& found = *reinterpret_cast<FoundWindow*>(context);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  if (pid == found.pid && std::wstring(name) == L"relauncher-session") {
    found.window = window;
    return FALSE;
  }
  return TRUE;
}

// A version of the application: a folder holding app.exe (the probe) and version.txt.
void make_version(const test::TempDir& dir, const std::wstring& folder, const char* name) {
  test::make_folder(dir, folder);
  test::copy_probe(dir, folder + L"\\app.exe");
  test::write_file(dir.file(folder + L"\\version.txt"), name);
}

// The trial's window, as the system tells it a logoff: it needs a desktop, as every
// window does, so it is seen here.
TEST(SessionEnd, ATrialPassesWhenItsWindowIsToldThatTheSessionEnds) {
  for (const bool twin : {false, true}) {
    SCOPED_TRACE(twin ? "relauncherw.exe" : "relauncher.exe");
    test::TempDir dir;
    const std::wstring target = dir.file(L"apps\\Example");
    const std::wstring log = dir.file(L"update.log");
    make_version(dir, L"apps\\Example", "old");
    make_version(dir, L"apps\\Example-2", "new");
    // The new version fails a second into its trial, unless the session's end came first.
    SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", L"3000");
    test::set_probe_exit(dir.file(L"apps\\Example-2\\app.exe"), 3);
    const std::wstring exe = twin ? test::twin_path() : test::tool_path();
    HANDLE tool = test::start(exe, test::quoted(exe) + L" --log " + test::quoted(log) + L" --wait-pid 1 --replace " +
                                       test::quoted(target) + L" --with " + test::quoted(dir.file(L"apps\\Example-2")) +
                                       L" --relaunch " + test::quoted(target + L"\\app.exe") + L" --trial 10");
    ASSERT_TRUE(test::wait_until_started(target + L"\\app.exe", 5000));
    FoundWindow found{GetProcessId(tool), nullptr};
    for (const ULONGLONG until = GetTickCount64() + 5000; found.window == nullptr && GetTickCount64() < until;) {
      EnumWindows(find_session_window, reinterpret_cast<LPARAM>(&found));
      Sleep(found.window == nullptr ? 20 : 0);
    }
    ASSERT_NE(found.window, nullptr) << "no window hears the session end";
    DWORD_PTR answer = 0;
    EXPECT_TRUE(SendMessageTimeoutW(found.window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, &answer));
    EXPECT_EQ(answer, TRUE);
    SendMessageTimeoutW(found.window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, &answer);
    const DWORD exit_code = test::finish(tool);
    const std::string logged = test::read_file(log).value_or("");
    EXPECT_EQ(exit_code, 0u) << logged;
    EXPECT_NE(logged.find(" trial passed after_ms="), std::string::npos) << logged;
    EXPECT_NE(logged.find(" (the session ends)"), std::string::npos) << logged;
    EXPECT_EQ(test::read_file(target + L"\\version.txt").value_or(""), "new") << logged;
    EXPECT_EQ(GetFileAttributesW((target + L".relauncher-old").c_str()), INVALID_FILE_ATTRIBUTES) << logged;
  }
  SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", nullptr);
  SetEnvironmentVariableW(L"PROBE_app_EXIT", nullptr);
}

}  // namespace

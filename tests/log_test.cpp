// The --log file, read back after real hand-overs through the built tool.

#include <gtest/gtest.h>

#include <regex>

#include "support.h"
#include "version.h"

namespace {

using test::TempDir;
using test::quoted;

struct LogLine {
  std::string pid, event, details;
};

// Every line must have the fixed form; the parts after the time come back.
std::vector<LogLine> read_log(const std::wstring& path) {
  static const std::regex form(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (\d+) (\w+)(?: (.*))?)");
  std::vector<LogLine> lines;
  const std::string text = test::read_file(path).value_or("");
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    EXPECT_NE(end, std::string::npos) << "a line without its CRLF";
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 2;
    std::smatch parts;
    EXPECT_TRUE(std::regex_match(line, parts, form)) << line;
    lines.push_back({parts[1], parts[2], parts[3]});
  }
  return lines;
}

std::string utc_hour(const SYSTEMTIME& time) {
  char hour[16];
  std::snprintf(hour, sizeof(hour), "%04d-%02d-%02dT%02d", time.wYear, time.wMonth, time.wDay, time.wHour);
  return hour;
}

std::string events_of(const std::vector<LogLine>& lines, const std::string& pid = "") {
  std::string events;
  for (const LogLine& line : lines) {
    if (pid.empty() || line.pid == pid) {
      events += (events.empty() ? "" : " ") + line.event;
    }
  }
  return events;
}

TEST(Log, TellsTheHandOverAndWhyItFellShort) {
  TempDir dir;
  const std::wstring log = dir.file(L"hand over \u00FC.log");
  const std::wstring victim = test::copy_probe(dir, L"victim.exe");
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  const std::wstring missing = quoted(dir.file(L"missing.exe"));
  const std::wstring script = quoted(dir.file(L"update.cmd"));
  test::write_file(dir.file(L"update.cmd"), "@exit /b 0\r\n");
  SetEnvironmentVariableW(L"PROBE_victim_SLEEP_MS", L"700");
  HANDLE victim_process = test::start(victim, quoted(victim));
  const std::string victim_pid = std::to_string(GetProcessId(victim_process));
  const std::wstring relaunch = L" --relaunch " + quoted(app) + L" -- ";
  const std::wstring slow = test::copy_probe(dir, L"slow.exe");
  SetEnvironmentVariableW(L"PROBE_slow_SLEEP_MS", L"1500");
  const struct {
    std::wstring arguments;  // after `--log <file>`
    const char* exit;        // setup.exe's exit code, or none
    DWORD exit_code;
    const char* events;
    std::vector<std::string> told;  // patterns, in order, for the lines after start
  } cases[] = {
      {L"--wait-pid " + test::from_utf8(victim_pid) + relaunch + quoted(setup) + L" /quiet", "0", 0,
       "start wait run exit relaunch end",
       {"pid=" + victim_pid + " ended after_ms=[1-9]\\d{2,}", "pid=(\\d+) command_line=\"[^\"]*setup.exe\" \"/quiet\"",
        R"(code=0 hex=0x00000000 after_ms=\d+)", "pid=(\\d+) command_line=\"[^\"]*app.exe\"", "code=0 hex=0x00000000"}},
      {L"--wait-pid 1" + relaunch + quoted(setup), "0xC0000005", 0xC0000005, "start wait run exit relaunch end",
       {R"(pid=1 not waited for: ended already or cannot be opened, error \d+ \(.*\))", "pid=\\d+ command_line=.*",
        R"(code=-1073741819 hex=0xC0000005 after_ms=\d+)", "skipped: exit code -1073741819 is not 0",
        "code=-1073741819 hex=0xC0000005"}},
      // --elevate asks for nothing when Windows did not demand elevation. Whatever can
      // break a line, or move or hide text, in some reader is written as its code.
      {L"--elevate --wait-pid 1" + relaunch + missing + L" \"a\nb\t\x1B\u0085\u202E\u2028\u2066c\"", nullptr,
       0xFFFFFFFF, "start wait run relaunch end",
       {"pid=1 .*",
        R"(error 2 \(.*\) command_line=".*missing\.exe" "a<0x0A>b<0x09><0x1B><U\+0085><U\+202E><U\+2028><U\+2066>c")",
        "skipped: the program did not start", "code=-1 hex=0xFFFFFFFF"}},
      // Each range's edges.
      {L"--wait-pid 1 -- " + missing + L" \"\u061C\u200E\u200F\u009F\x7F\u2029\"", nullptr, 0xFFFFFFFF,
       "start wait run relaunch end",
       {"pid=1 .*", R"(error 2 \(.*\) command_line=".*missing\.exe" "<U\+061C><U\+200E><U\+200F><U\+009F><0x7F><U\+2029>")",
        "skipped: no --relaunch given", "code=-1 hex=0xFFFFFFFF"}},
      // A script runs under the system's cmd.exe, named in the line; text that cannot
      // reach it safely is refused before anything is tried.
      {L"--wait-pid 1 -- " + script + L" a", nullptr, 0, "start wait run exit relaunch end",
       {"pid=1 .*", "pid=\\d+ application=\".*\\\\cmd\\.exe\" command_line=cmd\\.exe /e:ON .*",
        ".*", "skipped: no --relaunch given", ".*"}},
      {L"--wait-pid 1 -- " + script + L" %PATH%", nullptr, 0xFFFFFFFF, "start wait run relaunch end",
       {"pid=1 .*", "refused: .*", "skipped: no --relaunch given", ".*"}},
      // The tests run without a desktop: no window can be made, and the system says no more.
      {L"--progress Updating --wait-pid 1 -- " + quoted(slow), nullptr, 0, "start wait progress run exit relaunch end",
       {"pid=1 .*", R"(not shown: no window could be made \(no display or desktop\))", "pid=\\d+ command_line=.*",
        ".*", "skipped: no --relaunch given", ".*"}},
      {L"--wait-pid x -- " + missing, nullptr, 2, "start usage end", {"no positive --wait-pid", "code=2 hex=0x00000002"}},
      {L"--wait-pid 5 --", nullptr, 2, "start usage end", {"no program after --", "code=2 hex=0x00000002"}},
  };
  // The tests run nine hours east of UTC (TZ, set for them by the build): a log written
  // in local time would be nine hours off.
  for (const auto& c : cases) {
    SCOPED_TRACE(test::to_utf8(c.arguments));
    DeleteFileW(log.c_str());
    DeleteFileW((app + L".started").c_str());
    SYSTEMTIME before;
    GetSystemTime(&before);
    SetEnvironmentVariableW(L"PROBE_setup_EXIT", c.exit ? test::from_utf8(c.exit).c_str() : nullptr);
    const std::wstring arguments = L"--log " + quoted(log) + L" " + c.arguments;
    const test::ToolRun run = test::run_tool(L"relauncher.exe " + arguments);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.error_output, c.exit_code == 2 ? "relauncher.exe: usage: --wait-pid <pid> [--relaunch <app>] -- "
                                                   "<program> [args...]\r\n" : "");
    const bool relaunches = c.exit_code == 0 && c.arguments.find(L"--relaunch") != std::wstring::npos;
    const auto relaunched = test::wait_until_started(app, relaunches ? 3000 : 0);
    const std::vector<LogLine> lines = read_log(log);
    ASSERT_EQ(events_of(lines, std::to_string(run.pid)), c.events);
    SYSTEMTIME after;
    GetSystemTime(&after);
    const std::string hour = test::read_file(log).value_or("").substr(0, 13);
    EXPECT_TRUE(hour == utc_hour(before) || hour == utc_hour(after)) << hour << ": the time is not UTC";
    wchar_t folder[MAX_PATH];  // the tool's, inherited from us
    const std::wstring here(folder, GetCurrentDirectoryW(MAX_PATH, folder));
    std::string shown = test::to_utf8(arguments);
    for (const auto& code : {std::pair<const char*, const char*>{"\n", "<0x0A>"}, {"\t", "<0x09>"}, {"\x1B", "<0x1B>"},
                             {"\xC2\x85", "<U+0085>"}, {"\xE2\x80\xAE", "<U+202E>"}, {"\xE2\x80\xA8", "<U+2028>"},
                             {"\xE2\x81\xA6", "<U+2066>"}, {"\xD8\x9C", "<U+061C>"}, {"\xE2\x80\x8E", "<U+200E>"},
                             {"\xE2\x80\x8F", "<U+200F>"}, {"\xC2\x9F", "<U+009F>"}, {"\x7F", "<0x7F>"},
                             {"\xE2\x80\xA9", "<U+2029>"}}) {
      shown = std::regex_replace(shown, std::regex(code.first), code.second);
    }
    EXPECT_EQ(lines[0].details, "version=" RELAUNCHER_VERSION_TEXT " folder=\"" + test::to_utf8(here) +
                                    "\" command_line=relauncher.exe " + shown);
    for (std::size_t i = 0; i < c.told.size(); ++i) {
      std::smatch match;
      EXPECT_TRUE(std::regex_match(lines[i + 1].details, match, std::regex(c.told[i]))) << lines[i + 1].details;
    }
    if (relaunches) {
      // The ids are those of the processes that really ran.
      ASSERT_TRUE(relaunched);
      EXPECT_NE(lines[2].details.find("pid=" + std::to_string(test::probe_started(setup)->pid)), std::string::npos);
      EXPECT_NE(lines[4].details.find("pid=" + std::to_string(relaunched->pid)), std::string::npos);
      test::wait_for_pid(relaunched->pid);
    }
  }
  CloseHandle(victim_process);
}

TEST(Log, NeverChangesWhatTheToolDoesAndIsWrittenOnlyWhenAsked) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"quiet.exe");
  SetEnvironmentVariableW(L"PROBE_quiet_EXIT", L"3");
  CreateDirectoryW(dir.file(L"folder.log").c_str(), nullptr);
  for (const std::wstring& log : {std::wstring(), L"--log " + quoted(dir.file(L"folder.log")), std::wstring(L"--log \"\""),
                                  L"--log " + quoted(dir.file(L"no such folder\\x.log"))}) {
    const test::ToolRun run = test::run_tool_with(log + L" --wait-pid 1 -- " + quoted(setup));
    EXPECT_EQ(run.exit_code, 3u) << test::to_utf8(log);
    EXPECT_EQ(run.output + run.error_output, "");
    EXPECT_EQ(test::files_in(dir), (std::vector<std::wstring>{L"quiet.exe", L"quiet.exe.ended", L"quiet.exe.started"}));
  }
  RemoveDirectoryW(dir.file(L"folder.log").c_str());
}

TEST(Log, SeveralToolsAppendWholeLinesToOneFile) {
  TempDir dir;
  const std::wstring log = dir.file(L"shared.log");
  std::vector<HANDLE> victims, tools;
  // All hold the file open at once, but their writes fall at different moments: Wine,
  // unlike Windows, does not keep simultaneous appends whole.
  for (int i = 0; i < 3; ++i) {
    const std::wstring stem = L"victim" + std::to_wstring(i);
    const std::wstring victim = test::copy_probe(dir, stem + L".exe");
    SetEnvironmentVariableW((L"PROBE_" + stem + L"_SLEEP_MS").c_str(), L"1500");
    victims.push_back(test::start(victim, quoted(victim)));
    tools.push_back(test::start(test::tool_path(), quoted(test::tool_path()) + L" --log " + quoted(log) + L" --wait-pid " +
                                                       std::to_wstring(GetProcessId(victims.back())) + L" -- " +
                                                       quoted(dir.file(L"missing.exe"))));
    Sleep(300);
  }
  std::vector<std::string> pids;
  for (std::size_t i = 0; i < tools.size(); ++i) {
    WaitForSingleObject(tools[i], INFINITE);
    pids.push_back(std::to_string(GetProcessId(tools[i])));
    CloseHandle(tools[i]);
    CloseHandle(victims[i]);
  }
  const std::vector<LogLine> lines = read_log(log);
  EXPECT_EQ(lines.size(), 15u);
  for (const std::string& pid : pids) {
    EXPECT_EQ(events_of(lines, pid), "start wait run relaunch end");
  }
}

TEST(Log, CanBeDeletedWhileTheToolWaits) {
  TempDir dir;
  const std::wstring log = dir.file(L"deleted.log");
  const std::wstring victim = test::copy_probe(dir, L"victim.exe");
  SetEnvironmentVariableW(L"PROBE_victim_SLEEP_MS", L"1500");
  HANDLE victim_process = test::start(victim, quoted(victim));
  HANDLE tool = test::start(test::tool_path(), quoted(test::tool_path()) + L" --log " + quoted(log) + L" --wait-pid " +
                                                   std::to_wstring(GetProcessId(victim_process)) + L" -- missing.exe");
  for (int waited = 0; GetFileAttributesW(log.c_str()) == INVALID_FILE_ATTRIBUTES && waited < 1000; waited += 20) {
    Sleep(20);
  }
  ASSERT_EQ(WaitForSingleObject(tool, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the tool no longer waits";
  EXPECT_TRUE(DeleteFileW(log.c_str())) << "error " << GetLastError();
  EXPECT_EQ(WaitForSingleObject(tool, 10000), WAIT_OBJECT_0);
  CloseHandle(tool);
  CloseHandle(victim_process);
}

// Many hand-overs write to one log at the same moment: not a line may be lost or torn.
TEST(Log, KeepsEveryLineWholeWhenManyToolsWriteAtOnce) {
  TempDir dir;
  const std::wstring log = dir.file(L"busy.log");
  std::vector<std::string> pids;
  for (int round = 0; round < 3; ++round) {
    std::vector<HANDLE> tools;
    for (int i = 0; i < 20; ++i) {
      tools.push_back(test::start(test::tool_path(), quoted(test::tool_path()) + L" --log " + quoted(log) +
                                                         L" --wait-pid 1 -- missing.exe a " + std::to_wstring(i)));
    }
    for (HANDLE tool : tools) {
      WaitForSingleObject(tool, INFINITE);
      pids.push_back(std::to_string(GetProcessId(tool)));
      CloseHandle(tool);
    }
  }
  const std::vector<LogLine> lines = read_log(log);
  EXPECT_EQ(lines.size(), pids.size() * 5);
  for (const std::string& pid : pids) {
    EXPECT_EQ(events_of(lines, pid), "start wait run relaunch end") << pid;
  }
}

// Something else holds a lock on the log: on the first bytes, where readers look, it
// stops nothing; on the whole file, for good, it costs the hand-over one second at most.
TEST(Log, ALockThatAnotherProcessHoldsNeverHoldsUpTheHandOver) {
  test::AppLayout layout;
  const struct {
    DWORD low, high;  // the locked range's length
    const char* events;
  } cases[] = {
      {100, 0, "start wait run exit relaunch end"},
      {MAXDWORD, MAXDWORD, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.events);
    DeleteFileW(layout.log.c_str());
    DeleteFileW((layout.app + L".started").c_str());
    HANDLE holder = CreateFileW(layout.log.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS, 0, nullptr);
    OVERLAPPED from_start{};
    ASSERT_TRUE(LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, c.low, c.high, &from_start));
    const ULONGLONG before = GetTickCount64();
    const test::ToolRun run = test::run_tool_with(L"--log " + test::quoted(layout.log) + L" --wait-pid 1 --relaunch " +
                                                  test::quoted(layout.app) + L" -- " + test::quoted(layout.setup));
    const ULONGLONG took = GetTickCount64() - before;
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_LT(took, 3500u) << "a line waited for the lock after one had been dropped";
    EXPECT_TRUE(test::wait_until_started(layout.app, 3000)) << "not relaunched";
    UnlockFileEx(holder, 0, c.low, c.high, &from_start);
    CloseHandle(holder);
    EXPECT_EQ(events_of(read_log(layout.log), std::to_string(run.pid)), c.events);
  }
}

}  // namespace

// The --log file, read back after real hand-overs through the built tool.

#include <gtest/gtest.h>

#include <regex>

#include "process/command_line.h"
#include "support.h"
#include "version.h"

namespace {

using test::TempDir;

struct LogLine {
  std::string pid, event, details;
};

// Every line must have the fixed form; the parts after the time come back.
std::vector<LogLine> read_log(const std::wstring& path) {
  static const std::regex form(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z) (\d+) (\w+)(?: (.*))?)");
  std::vector<LogLine> lines;
  const std::string text = test::read_file(path).value_or("");
  EXPECT_TRUE(text.empty() || (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0));
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end - at);
    at = end == std::string::npos ? text.size() : end + 2;
    std::smatch parts;
    EXPECT_TRUE(std::regex_match(line, parts, form)) << line;
    lines.push_back({parts[2], parts[3], parts[4]});
  }
  return lines;
}

std::string events_of(const std::vector<LogLine>& lines) {
  std::string events;
  for (const LogLine& line : lines) {
    events += (events.empty() ? "" : " ") + line.event;
  }
  return events;
}

std::wstring quoted(const std::wstring& path) {
  return L"\"" + path + L"\"";
}

TEST(Log, TellsTheWholeHandOverInOrder) {
  TempDir dir;
  const std::wstring log = dir.file(L"hand over \u00FC.log");
  const std::wstring victim = test::copy_probe(dir, L"victim.exe");
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  const std::wstring app = test::copy_probe(dir, L"app.exe");
  SetEnvironmentVariableW(L"PROBE_victim_SLEEP_MS", L"700");
  HANDLE victim_process = test::start(victim, quoted(victim));
  const DWORD victim_pid = GetProcessId(victim_process);
  const std::wstring arguments = L"--log " + quoted(log) + L" --wait-pid " + std::to_wstring(victim_pid) +
                                 L" --relaunch " + quoted(app) + L" -- " + quoted(setup) + L" /quiet";
  const test::ToolRun run = test::run_tool_with(arguments);
  CloseHandle(victim_process);
  ASSERT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.error_output + run.output, "");
  const auto program = test::probe_started(setup);
  const auto relaunched = test::wait_for_file(app + L".started", 3000) ? test::probe_started(app) : std::nullopt;
  ASSERT_TRUE(program && relaunched);
  test::wait_for_pid(relaunched->pid);

  const std::vector<LogLine> lines = read_log(log);
  ASSERT_EQ(events_of(lines), "start wait run exit relaunch end");
  for (const LogLine& line : lines) {
    EXPECT_EQ(line.pid, std::to_string(run.pid));
  }
  wchar_t folder[MAX_PATH];  // the tool's, inherited from us
  const DWORD folder_length = GetCurrentDirectoryW(MAX_PATH, folder);
  EXPECT_EQ(lines[0].details, "version=" RELAUNCHER_VERSION_TEXT " folder=\"" +
                                  test::to_utf8(std::wstring(folder, folder_length)) +
                                  "\" command_line=\"" + test::to_utf8(test::tool_path()) + "\" " +
                                  test::to_utf8(arguments));
  EXPECT_TRUE(std::regex_match(lines[1].details, std::regex("pid=" + std::to_string(victim_pid) +
                                                            " ended after_ms=([6-9]\\d\\d|\\d{4,})")))
      << lines[1].details;
  EXPECT_EQ(lines[2].details, "pid=" + std::to_string(program->pid) + " command_line=" + test::to_utf8(program->command_line));
  EXPECT_TRUE(std::regex_match(lines[3].details, std::regex(R"(code=0 hex=0x00000000 after_ms=\d+)"))) << lines[3].details;
  EXPECT_EQ(lines[4].details, "pid=" + std::to_string(relaunched->pid) + " command_line=" + test::to_utf8(quoted(app)));
  EXPECT_EQ(lines[5].details, "code=0 hex=0x00000000");
}

TEST(Log, TellsWhyAHandOverFellShort) {
  TempDir dir;
  const std::wstring log = dir.file(L"why.log");
  const std::wstring setup = test::copy_probe(dir, L"failing.exe");
  const std::wstring app = dir.file(L"app.exe");
  SetEnvironmentVariableW(L"PROBE_failing_EXIT", L"0xC0000005");
  const struct {
    std::wstring arguments;
    DWORD exit_code;
    const char* events;
    std::vector<const char*> told;  // patterns that some line's details must match
  } cases[] = {
      {L"--wait-pid 1 -- " + quoted(dir.file(L"missing.exe")) + L" \"a\nb\"", 0xFFFFFFFF, "start wait run relaunch end",
       {R"(error 2 \(.*\) command_line=".*missing\.exe" "a<0x0A>b")", "skipped: no --relaunch given"}},
      {L"--wait-pid 1 --relaunch " + quoted(app) + L" -- " + quoted(setup), 0xC0000005,
       "start wait run exit relaunch end",
       {R"(code=-1073741819 hex=0xC0000005 after_ms=\d+)", "skipped: exit code -1073741819 is not 0"}},
      // --elevate asks for nothing when Windows did not demand elevation.
      {L"--elevate --wait-pid 1 -- " + quoted(dir.file(L"missing.exe")), 0xFFFFFFFF, "start wait run relaunch end",
       {R"(error 2 \(.*\) command_line=".*missing\.exe")"}},
      {L"--wait-pid x -- " + quoted(setup), 2, "start usage end", {"no positive --wait-pid"}},
      {L"--wait-pid 5 --", 2, "start usage end", {"no program after --", "code=2 hex=0x00000002"}},
  };
  for (const auto& c : cases) {
    DeleteFileW(log.c_str());
    const test::ToolRun run = test::run_tool(L"relauncher.exe --log " + quoted(log) + L" " + c.arguments);
    EXPECT_EQ(run.exit_code, c.exit_code);
    const std::vector<LogLine> lines = read_log(log);
    EXPECT_EQ(events_of(lines), c.events) << test::to_utf8(c.arguments);
    for (const char* pattern : c.told) {
      bool told = false;
      for (const LogLine& line : lines) {
        told = told || std::regex_match(line.details, std::regex(pattern));
      }
      EXPECT_TRUE(told) << pattern;
    }
    const bool usage = c.exit_code == 2;
    EXPECT_EQ(run.error_output, usage ? "relauncher.exe: usage: --wait-pid <pid> [--relaunch <app>] -- <program> [args...]\r\n" : "");
  }
}

std::vector<std::wstring> files_in(const TempDir& dir) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(dir.file(L"*").c_str(), &entry);
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names.push_back(entry.cFileName);
    }
  }
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
  }
  return names;
}

TEST(Log, NeverChangesWhatTheToolDoes) {
  TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"quiet.exe");
  SetEnvironmentVariableW(L"PROBE_quiet_EXIT", L"3");
  const std::wstring unusable_logs[] = {
      L"",  // no --log at all
      L"--log " + quoted(dir.path()),  // a folder
      L"--log \"\"",
      L"--log " + quoted(dir.file(L"no such folder\\x.log")),
  };
  for (const std::wstring& log : unusable_logs) {
    const test::ToolRun run = test::run_tool_with(log + L" --wait-pid 1 -- " + quoted(setup));
    EXPECT_EQ(run.exit_code, 3u) << test::to_utf8(log);
    EXPECT_EQ(run.output + run.error_output, "");
    // Nothing appears but the program's own records.
    EXPECT_EQ(files_in(dir), (std::vector<std::wstring>{L"quiet.exe", L"quiet.exe.ended", L"quiet.exe.started"}));
  }
}

TEST(Log, SeveralToolsAppendWholeLinesToOneFile) {
  TempDir dir;
  const std::wstring log = dir.file(L"shared.log");
  std::vector<HANDLE> victims;
  std::vector<DWORD> tools;
  // Each tool waits for its own victim, so that all hold the file open at once while
  // their writes fall at different moments (Wine, unlike Windows, does not keep
  // simultaneous appends whole).
  for (int i = 0; i < 3; ++i) {
    const std::wstring stem = L"victim" + std::to_wstring(i);
    const std::wstring victim = test::copy_probe(dir, stem + L".exe");
    SetEnvironmentVariableW((L"PROBE_" + stem + L"_SLEEP_MS").c_str(), std::to_wstring(800 + 400 * i).c_str());
    victims.push_back(test::start(victim, quoted(victim)));
  }
  std::vector<HANDLE> running;
  for (HANDLE victim : victims) {
    running.push_back(test::start(test::tool_path(), quoted(test::tool_path()) + L" --log " + quoted(log) +
                                                         L" --wait-pid " + std::to_wstring(GetProcessId(victim)) +
                                                         L" -- " + quoted(dir.file(L"missing.exe"))));
    tools.push_back(GetProcessId(running.back()));
  }
  for (HANDLE process : running) {
    WaitForSingleObject(process, INFINITE);
    CloseHandle(process);
  }
  for (HANDLE process : victims) {
    CloseHandle(process);
  }
  const std::vector<LogLine> lines = read_log(log);
  for (const DWORD tool : tools) {
    std::vector<LogLine> own;
    for (const LogLine& line : lines) {
      if (line.pid == std::to_string(tool)) {
        own.push_back(line);
      }
    }
    EXPECT_EQ(events_of(own), "start wait run relaunch end") << tool;
  }
  EXPECT_EQ(lines.size(), 3u * 5u);
}

}  // namespace

#pragma once

// What the benchmark's processes share: timestamps (QueryPerformanceCounter, one
// clock for every process) in a named mapping, and an event that lets the victim go.

#include <windows.h>

namespace bench {

constexpr wchar_t mapping_name[] = L"Local\\relauncher-bench-times";
constexpr wchar_t go_event_name[] = L"Local\\relauncher-bench-go";

struct SharedTimes {
  volatile LONGLONG victim_exit;   // the victim's last timestamp, just before ExitProcess
  volatile LONGLONG marker_start;  // the marker's first timestamp
  volatile DWORD marker_pid;
};

inline SharedTimes* open_shared_times() {
  HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, mapping_name);
  if (mapping == nullptr) {
    return nullptr;
  }
  return static_cast<SharedTimes*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(SharedTimes)));
}

inline LONGLONG now() {
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return counter.QuadPart;
}

// Skips `count` tokens of a command line: a token is quoted ("...") or runs to the
// next blank. Enough for what the benchmark itself composes.
inline wchar_t* skip_tokens(wchar_t* line, int count) {
  for (int i = 0; i < count; ++i) {
    while (*line == L' ' || *line == L'\t') {
      ++line;
    }
    if (*line == L'"') {
      for (++line; *line != L'\0' && *line != L'"'; ++line) {
      }
      if (*line == L'"') {
        ++line;
      }
    } else {
      while (*line != L'\0' && *line != L' ' && *line != L'\t') {
        ++line;
      }
    }
  }
  while (*line == L' ' || *line == L'\t') {
    ++line;
  }
  return line;
}

// Starts the program whose command line is `line` and waits for it, as relauncher does.
inline int run_and_wait(wchar_t* line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return -1;
  }
  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  return static_cast<int>(code);
}

}  // namespace bench

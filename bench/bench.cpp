// Measures relauncher against the limit (a waiter that does nothing but wait on the
// handle and start the program) and against the polling that hand-written updaters
// do, side by side in one run, round by round in alternating order (A B ... B A) so
// that machine noise hits every contestant alike.
//
//   bench.exe [rounds]     (default 15)
//   bench.exe folder-wait-phases   (see run_folder_wait_phases)
//   bench.exe swap                 (see report_swap)
//
// Prints Markdown tables. Absolute times depend on the machine (and on Wine); only
// the ratios are comparable across runs.

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "shared.h"

namespace {

// A pid no process has: OpenProcess fails on it, as it does for an ended process.
constexpr DWORD absent_pid = 0x7FFFFFF0;

std::wstring g_dir;
std::mt19937 g_random(20261207);
double g_ticks_per_ms = 1;

std::wstring exe(const wchar_t* name) {
  return L"\"" + g_dir + L"\\" + name + L"\"";
}

HANDLE start(const std::wstring& command_line) {
  std::wstring buffer = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "cannot start %ls: error %lu\n", command_line.c_str(), GetLastError());
    std::exit(1);
  }
  CloseHandle(info.hThread);
  return info.hProcess;
}

void wait_and_close(HANDLE process) {
  WaitForSingleObject(process, INFINITE);
  CloseHandle(process);
}

// Under Wine an ended process goes on tearing down for a while after its handle is
// signalled; overlapping that with the next measurement would slow it down.
void let_processes_settle() {
  Sleep(150);
}

double elapsed_ms(LONGLONG from, LONGLONG to) {
  return static_cast<double>(to - from) / g_ticks_per_ms;
}

struct Contestant {
  const char* name;
  std::wstring before_pid;  // the command line is before_pid + pid + after_pid,
  std::wstring after_pid;   // or before_pid alone for a program that takes no pid
  bool takes_pid;
  std::vector<double> samples;
  std::wstring victim = L"victim.exe";  // the application, as a path under the build folder
};

std::wstring command_for(const Contestant& contestant, DWORD pid) {
  if (!contestant.takes_pid) {
    return contestant.before_pid;
  }
  return contestant.before_pid + std::to_wstring(pid) + contestant.after_pid;
}

// Visits the contestants in order on even rounds and in reverse on odd ones.
template <typename Measure>
void interleave(std::vector<Contestant>& contestants, int rounds, Measure measure) {
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < contestants.size(); ++i) {
      Contestant& contestant = contestants[round % 2 == 0 ? i : contestants.size() - 1 - i];
      contestant.samples.push_back(measure(contestant));
      let_processes_settle();
    }
  }
}

// From the victim's last timestamp to the marker's first.
double hand_over_ms(const Contestant& contestant, bench::SharedTimes& times, HANDLE go) {
  times.victim_exit = 0;
  times.marker_start = 0;
  times.marker_pid = 0;
  ResetEvent(go);
  HANDLE victim = start(exe(contestant.victim.c_str()));
  HANDLE waiter = start(command_for(contestant, GetProcessId(victim)));
  // Let the waiter start and open the victim before the victim may end; the random
  // part spreads the victim's end over the pollers' intervals instead of locking it
  // to one phase of them.
  Sleep(400 + static_cast<DWORD>(g_random() % 1000));
  SetEvent(go);
  wait_and_close(victim);
  wait_and_close(waiter);
  if (HANDLE marker = OpenProcess(SYNCHRONIZE, FALSE, times.marker_pid)) {
    wait_and_close(marker);
  }
  if (times.marker_start == 0 || times.victim_exit == 0) {
    std::fprintf(stderr, "%s: the marker did not run\n", contestant.name);
    std::exit(1);
  }
  return elapsed_ms(times.victim_exit, times.marker_start);
}

double wall_ms(const Contestant& contestant) {
  const LONGLONG started = bench::now();
  wait_and_close(start(command_for(contestant, absent_pid)));
  return elapsed_ms(started, bench::now());
}

// Peak working set of a process half a second after its start: for a waiter, while
// the program it started (a noop that sleeps) still runs.
double peak_working_set_kib(const Contestant& contestant) {
  HANDLE process = start(command_for(contestant, absent_pid));
  Sleep(500);
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  const BOOL ok = K32GetProcessMemoryInfo(process, &counters, sizeof(counters));
  wait_and_close(process);
  return ok ? static_cast<double>(counters.PeakWorkingSetSize) / 1024 : 0;
}

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5);
  return samples[rank];
}

double median(const std::vector<double>& samples) {
  return percentile(samples, 0.5);
}

long long file_size(const wchar_t* name) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW((g_dir + L"\\" + name).c_str(), GetFileExInfoStandard, &data)) {
    return -1;
  }
  return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void report_hand_over(int rounds) {
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(bench::SharedTimes), bench::mapping_name);
  HANDLE go = CreateEventW(nullptr, TRUE, FALSE, bench::go_event_name);
  auto* times = static_cast<bench::SharedTimes*>(
      MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(bench::SharedTimes)));
  const std::wstring marker = L" " + exe(L"marker.exe");
  // For the folder wait, the application runs from a folder of its own, and relauncher
  // learns of it only through that folder.
  const std::wstring folder = g_dir + L"\\bench-application";
  CreateDirectoryW(folder.c_str(), nullptr);
  CopyFileW((g_dir + L"\\victim.exe").c_str(), (folder + L"\\victim.exe").c_str(), FALSE);
  Contestant by_folder{"relauncher.exe --wait-folder (the application's folder)",
                       exe(L"relauncher.exe") + L" --wait-pid 1 --wait-folder \"" + folder + L"\" --" + marker, L"",
                       false, {}};
  by_folder.victim = L"bench-application\\victim.exe";
  std::vector<Contestant> contestants = {
      {"relauncher.exe", exe(L"relauncher.exe") + L" --wait-pid ", L" --" + marker, true, {}},
      {"limit: handle wait + CreateProcessW", exe(L"minimal_waiter.exe") + L" ", marker, true, {}},
      {"polling every 100 ms", exe(L"polling_waiter.exe") + L" 100 ", marker, true, {}},
      {"polling every 1000 ms", exe(L"polling_waiter.exe") + L" 1000 ", marker, true, {}},
      by_folder,
  };
  interleave(contestants, rounds, [&](const Contestant& c) { return hand_over_ms(c, *times, go); });
  const double limit = median(contestants[1].samples);
  std::printf("Hand-over latency: from the application's last instruction to the program's first\n"
              "(%d rounds each)\n\n", rounds);
  std::printf("| waiter | median ms | p90 ms | median / limit |\n|---|---:|---:|---:|\n");
  for (const Contestant& c : contestants) {
    std::printf("| %s | %.2f | %.2f | %.2fx |\n", c.name, median(c.samples), percentile(c.samples, 0.9),
                median(c.samples) / limit);
  }
  std::printf("\n--wait-folder / --wait-pid: %.2fx\n", median(contestants[4].samples) / median(contestants[0].samples));
  DeleteFileW((folder + L"\\victim.exe").c_str());
  RemoveDirectoryW(folder.c_str());
  UnmapViewOfFile(times);
  CloseHandle(go);
  CloseHandle(mapping);
}

std::wstring temp_file(const wchar_t* name) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  return std::wstring(temp) + name;
}

void report_pass_through(int rounds) {
  const std::wstring noop = L" " + exe(L"noop.exe");
  // The log grows by one hand-over's lines per round, as it would on a user's machine.
  const std::wstring log = temp_file(L"relauncher-bench.log");
  DeleteFileW(log.c_str());
  std::vector<Contestant> contestants = {
      {"noop.exe started directly", exe(L"noop.exe"), L"", false, {}},
      {"relauncher.exe --wait-pid <absent> -- noop.exe", exe(L"relauncher.exe") + L" --wait-pid ", L" --" + noop, true, {}},
      {"minimal waiter <absent> noop.exe", exe(L"minimal_waiter.exe") + L" ", noop, true, {}},
      {"relauncher.exe --log <file> --wait-pid <absent> -- noop.exe",
       exe(L"relauncher.exe") + L" --log \"" + log + L"\" --wait-pid ", L" --" + noop, true, {}},
      {"relauncher.exe --verbatim --wait-tree --wait-pid <absent> -- noop.exe",
       exe(L"relauncher.exe") + L" --verbatim --wait-tree --wait-pid ", L" --" + noop, true, {}},
      {"relauncher.exe --progress <text> --wait-pid <absent> -- noop.exe",
       exe(L"relauncher.exe") + L" --progress Updating --wait-pid ", L" --" + noop, true, {}},
  };
  for (Contestant& c : contestants) {
    (void)wall_ms(c);  // warm the file cache
  }
  interleave(contestants, rounds, wall_ms);
  const double bare = median(contestants[0].samples);
  const double minimal = median(contestants[2].samples);
  const double tool = median(contestants[1].samples);
  std::printf("\nPass-through: wall time with nothing to wait for (%d rounds each)\n\n", rounds);
  std::printf("| command | median ms | p90 ms |\n|---|---:|---:|\n");
  for (const Contestant& c : contestants) {
    std::printf("| %s | %.2f | %.2f |\n", c.name, median(c.samples), percentile(c.samples, 0.9));
  }
  std::printf("\nrelauncher / minimal waiter: %.2fx; relauncher's cost beyond the program: %.2f bare process "
              "starts (the minimal waiter's: %.2f)\n",
              tool / minimal, (tool - bare) / bare, (minimal - bare) / bare);
  const double logged = median(contestants[3].samples);
  std::printf("--log costs %.2f ms per hand-over (%.2fx relauncher without it)\n", logged - tool, logged / tool);
  const double tree = median(contestants[4].samples);
  std::printf("--verbatim --wait-tree cost %.2f ms per hand-over (%.2fx relauncher without them)\n", tree - tool,
              tree / tool);
  const double progress = median(contestants[5].samples);
  std::printf("--progress costs %.2f ms per quick hand-over (%.2fx relauncher without it: its modules are loaded)\n",
              progress - tool, progress / tool);
  DeleteFileW(log.c_str());
}

void report_resources() {
  const std::wstring sleeper = L" " + exe(L"noop.exe") + L" 1000";
  const std::vector<Contestant> contestants = {
      {"bare process (noop.exe)", exe(L"noop.exe") + L" 1000", L"", false, {}},
      {"relauncher.exe", exe(L"relauncher.exe") + L" --wait-pid ", L" --" + sleeper, true, {}},
      {"minimal waiter", exe(L"minimal_waiter.exe") + L" ", sleeper, true, {}},
  };
  std::printf("\nResources\n\n| process | peak working set KiB | file bytes |\n|---|---:|---:|\n");
  const wchar_t* files[] = {L"noop.exe", L"relauncher.exe", L"minimal_waiter.exe"};
  double bare = 0;
  for (std::size_t i = 0; i < contestants.size(); ++i) {
    const Contestant& c = contestants[i];
    const double kib = peak_working_set_kib(c);
    bare = i == 0 ? kib : bare;
    let_processes_settle();
    std::printf("| %s | %.0f (%.2fx) | %lld |\n", c.name, kib, bare > 0 ? kib / bare : 0, file_size(files[i]));
  }
}

// Milliseconds since 1970, the clock a Linux-side sampler reads too.
unsigned long long unix_ms() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG units = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return units / 10000 - 11644473600000ULL;
}

// What a long folder wait costs, with 200 processes running from the folder and then
// ending one after another over five seconds. Wine does not keep another process's CPU
// times current, so this only runs the wait and prints when each phase began and ended
// (`phase <name> <from> <to>`, Unix milliseconds); scripts/bench.sh reads relauncher's
// CPU time from Linux meanwhile and reports it per phase.
void run_folder_wait_phases() {
  constexpr int count = 200;
  constexpr DWORD running_ms = 10000, ending_over_ms = 5000;
  const std::wstring folder = g_dir + L"\\bench-helpers";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring helper = folder + L"\\helper.exe";
  CopyFileW((g_dir + L"\\noop.exe").c_str(), helper.c_str(), FALSE);
  // The helpers all end at fixed times measured from now, however long their starts take.
  const ULONGLONG origin = GetTickCount64();
  const unsigned long long origin_unix = unix_ms();
  std::vector<HANDLE> helpers;
  for (int i = 0; i < count; ++i) {
    const ULONGLONG end_at = origin + running_ms + ending_over_ms * i / count;
    const ULONGLONG now = GetTickCount64();
    helpers.push_back(start(L"\"" + helper + L"\" " + std::to_wstring(end_at > now ? end_at - now : 0)));
  }
  const unsigned long long started = unix_ms();
  HANDLE tool = start(exe(L"relauncher.exe") + L" --wait-pid 1 --wait-folder \"" + folder + L"\" -- " + exe(L"noop.exe"));
  std::printf("pid %lu\n", GetProcessId(tool));
  std::fflush(stdout);
  wait_and_close(tool);
  const unsigned long long ended = unix_ms();
  for (HANDLE process : helpers) {
    wait_and_close(process);
  }
  const unsigned long long settled = started + 1500;
  std::printf("phase first-look %llu %llu\n", started, settled);
  std::printf("phase all-running %llu %llu\n", settled, origin_unix + running_ms);
  std::printf("phase ending %llu %llu\n", origin_unix + running_ms, ended);
  DeleteFileW(helper.c_str());
  RemoveDirectoryW(folder.c_str());
}

// An application's version: `count` files of 2 KB, 100 to a folder.
void make_version(const std::wstring& folder, int count) {
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::string bytes(2048, 'x');
  for (int i = 0; i < count; ++i) {
    const std::wstring sub = folder + L"\\part" + std::to_wstring(i / 100);
    if (i % 100 == 0) {
      CreateDirectoryW(sub.c_str(), nullptr);
    }
    HANDLE file = CreateFileW((sub + L"\\file" + std::to_wstring(i) + L".dll").c_str(), GENERIC_WRITE, 0,
                              nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD put = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    CloseHandle(file);
  }
}

void remove_folder(const std::wstring& folder) {
  wait_and_close(start(L"cmd /c rmdir /s /q \"" + folder + L"\""));
}

// The Unix milliseconds of the first log line holding `marker`, 0 without one.
unsigned long long logged_at(const std::wstring& log, const char* marker) {
  HANDLE file = CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::string text(1 << 16, '\0');
  DWORD got = 0;
  ReadFile(file, &text[0], static_cast<DWORD>(text.size()), &got, nullptr);
  CloseHandle(file);
  text.resize(got);
  const std::size_t at = text.find(marker);
  if (at == std::string::npos) {
    return 0;
  }
  const std::size_t line = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
  SYSTEMTIME when{};
  unsigned year, month, day, hour, minute, second, ms;
  if (std::sscanf(text.c_str() + line, "%4u-%2u-%2uT%2u:%2u:%2u.%3u", &year, &month, &day, &hour, &minute,
                  &second, &ms) != 7) {
    return 0;
  }
  when = {static_cast<WORD>(year), static_cast<WORD>(month), 0, static_cast<WORD>(day), static_cast<WORD>(hour),
          static_cast<WORD>(minute), static_cast<WORD>(second), static_cast<WORD>(ms)};
  FILETIME file_time;
  SystemTimeToFileTime(&when, &file_time);
  const ULONGLONG units = (static_cast<ULONGLONG>(file_time.dwHighDateTime) << 32) | file_time.dwLowDateTime;
  return units / 10000 - 11644473600000ULL;
}

// From the application's end (10 s after relauncher starts) to the new version in place
// (the log's `replace target=` line): the new version prepared beside the target
// (renamed) or in another folder (copied, from relauncher's start on).
long long swap_after_end_ms(int count, bool copied) {
  const std::wstring root = g_dir + L"\\bench-swap";
  remove_folder(root);
  CreateDirectoryW(root.c_str(), nullptr);
  CreateDirectoryW((root + L"\\apps").c_str(), nullptr);
  CreateDirectoryW((root + L"\\download").c_str(), nullptr);
  const std::wstring target = root + L"\\apps\\Example";
  const std::wstring with = root + (copied ? L"\\download\\Example-2" : L"\\apps\\Example-2");
  const std::wstring log = root + L"\\update.log";
  make_version(target, count);
  make_version(with, count);
  let_processes_settle();
  HANDLE application = start(exe(L"noop.exe") + L" 10000");
  HANDLE tool = start(exe(L"relauncher.exe") + L" --log \"" + log + L"\" --wait-pid " +
                      std::to_wstring(GetProcessId(application)) + L" --replace \"" + target + L"\" --with \"" +
                      with + L"\"");
  WaitForSingleObject(application, INFINITE);
  const unsigned long long ended = unix_ms();
  CloseHandle(application);
  wait_and_close(tool);
  const unsigned long long in_place = logged_at(log, " replace target=");
  remove_folder(root);
  return in_place == 0 ? -1 : static_cast<long long>(in_place - ended);
}

// What a hand-written updater does once the application has ended: xcopy of the new
// version over the old one.
long long xcopy_ms(int count) {
  const std::wstring root = g_dir + L"\\bench-swap";
  remove_folder(root);
  CreateDirectoryW(root.c_str(), nullptr);
  make_version(root + L"\\Example", count);
  make_version(root + L"\\Example-2", count);
  let_processes_settle();
  const unsigned long long began = unix_ms();
  wait_and_close(start(L"xcopy \"" + root + L"\\Example-2\" \"" + root + L"\\Example\" /E /Y /H /K /I /Q"));
  const unsigned long long ended = unix_ms();
  remove_folder(root);
  return static_cast<long long>(ended - began);
}

void report_swap() {
  std::printf("\n## --replace under Wine: from the application's end to the new version in place\n\n");
  std::printf("| files | rename path ms | copy path ms | xcopy /E /Y /H /K over the old ms |\n");
  std::printf("|---:|---:|---:|---:|\n");
  for (const int count : {1000, 10000}) {
    const long long renamed = swap_after_end_ms(count, false);
    const long long copied = swap_after_end_ms(count, true);
    const long long xcopied = xcopy_ms(count);
    std::printf("| %d | %lld | %lld | %lld |\n", count, renamed, copied, xcopied);
    std::fflush(stdout);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const bool folder_phases = argc > 1 && std::string(argv[1]) == "folder-wait-phases";
  const int rounds = argc > 1 && !folder_phases ? std::max(1, std::atoi(argv[1])) : 15;
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  g_dir.assign(path, length);
  g_dir.resize(g_dir.find_last_of(L'\\'));
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  g_ticks_per_ms = static_cast<double>(frequency.QuadPart) / 1000;

  if (folder_phases) {
    run_folder_wait_phases();
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "swap") {
    report_swap();
    return 0;
  }
  report_hand_over(rounds);
  report_pass_through(rounds * 2);
  report_resources();
  return 0;
}

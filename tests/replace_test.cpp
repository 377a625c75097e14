// --replace, --with and --trial under Wine, with real folders, files and processes: the
// new version put in place, a passing lock waited out, and the old version back when the
// program or the new version's first seconds fail.

#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"

namespace {

using test::quoted;
using test::TempDir;

std::wstring version_at(const std::wstring& folder) {
  return test::from_utf8(test::read_file(folder + L"\\version.txt").value_or("(none)"));
}

// A version of the application: a folder holding app.exe (the probe) and version.txt.
void make_version(const TempDir& dir, const std::wstring& folder, const char* name) {
  test::make_folder(dir, folder);
  test::copy_probe(dir, folder + L"\\app.exe");
  test::write_file(dir.file(folder + L"\\version.txt"), name);
}

bool exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(Replace, PutsTheNewVersionInPlaceWaitsOutLocksAndPutsTheOldOneBack) {
  enum class Case { folder, copied, first_install, locked_briefly, locked_for_long, failing_program, trial_fails,
                    trial_cannot_start, backup_held, other_case };
  const struct {
    Case what;
    DWORD exit_code;
    const wchar_t* target_after;
    const char* logged;
  } cases[] = {
      {Case::folder, 0, L"new", " how=renamed "},
      // Prepared in another folder: copied beside the target (files, sub-folders,
      // attributes), and left where it was.
      {Case::copied, 0, L"new", " how=copied "},
      {Case::first_install, 0, L"new", " how=renamed "},
      // A file of the old version held without delete sharing (a scanner): waited out.
      {Case::locked_briefly, 0, L"new", " replace retry error=32 "},
      {Case::locked_for_long, 0xFFFFFFFF, L"old", " replace not done: "},
      {Case::failing_program, 4, L"old", " replace rolled back: the program failed (exit code 4)"},
      {Case::trial_fails, 0xFFFFFFFF, L"old", " trial failed code=3 "},
      // A truncated download: the new version cannot start, and fails its trial.
      {Case::trial_cannot_start, 0xFFFFFFFF, L"old", " trial failed: the new version could not be started, error 193 "},
      // A scanner holds the backup through the roll-back: the target keeps the new version
      // (never missing), nothing is deleted, and the next run puts the old one back.
      {Case::backup_held, 0xFFFFFFFF, L"new", " nothing was deleted: the old version at "},
      // The target spelled in another case than on the disk: a new version an earlier run
      // kept aside is still known as one, never taken for a leftover.
      {Case::other_case, 0, L"new", " how=renamed "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.what));
    TempDir dir;
    const std::wstring target = dir.file(L"apps\\Example");
    const std::wstring with = dir.file(c.what == Case::copied ? L"download\\Example-2" : L"apps\\Example-2");
    const std::wstring log = dir.file(L"update.log");
    if (c.what != Case::first_install) {
      make_version(dir, L"apps\\Example", "old");
    }
    make_version(dir, c.what == Case::copied ? L"download\\Example-2" : L"apps\\Example-2", "new");
    test::make_folder(dir, (c.what == Case::copied ? L"download" : L"apps") + std::wstring(L"\\Example-2\\data"));
    test::write_file(with + L"\\data\\settings.ini", "deep");
    test::set_probe_exit(with + L"\\app.exe", c.what == Case::trial_fails ? 3 : 0);
    if (c.what == Case::trial_cannot_start) {
      test::write_file(with + L"\\app.exe", "MZ, and nothing after it");
    }
    SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", c.what == Case::trial_fails ? L"500" : nullptr);
    HANDLE lock = INVALID_HANDLE_VALUE;
    if (c.what == Case::locked_briefly || c.what == Case::locked_for_long) {
      // The folder's own handle, without delete sharing: Wine lets a folder that holds an
      // open file be renamed, but not one opened so.
      lock = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
      ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    }
    const std::wstring spelled = c.what == Case::other_case ? dir.file(L"apps\\EXAMPLE") : target;
    if (c.what == Case::other_case) {
      make_version(dir, L"apps\\Example.relauncher-new-77-1", "kept");
    }
    std::wstring options = L" --replace " + quoted(spelled) + L" --with " + quoted(with) +
                           L" --relaunch-on-failure --relaunch " + quoted(target + L"\\app.exe");
    if (c.what == Case::trial_fails || c.what == Case::trial_cannot_start) {
      options += L" --trial 5";
    }
    if (c.what == Case::failing_program || c.what == Case::backup_held) {
      const std::wstring setup = test::copy_probe(dir, L"register.exe");
      test::set_probe_exit(setup, 4);
      SetEnvironmentVariableW(L"PROBE_register_SLEEP_MS", c.what == Case::backup_held ? L"1000" : nullptr);
      options += L" -- " + quoted(setup);
    }
    HANDLE tool = test::start(test::tool_path(), quoted(test::tool_path()) + L" --log " + quoted(log) +
                                                     L" --wait-pid 1" + options);
    if (c.what == Case::locked_briefly) {
      Sleep(2000);  // the lock a scanner would hold for a moment
      CloseHandle(lock);
    }
    if (c.what == Case::backup_held) {
      // As soon as the backup stands: held without delete sharing until relauncher ends.
      while (WaitForSingleObject(tool, 0) == WAIT_TIMEOUT && lock == INVALID_HANDLE_VALUE) {
        lock = CreateFileW((target + L".relauncher-old").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        Sleep(lock == INVALID_HANDLE_VALUE ? 20 : 0);
      }
      ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    }
    const DWORD exit_code = test::finish(tool);
    if (c.what == Case::locked_for_long || c.what == Case::backup_held) {
      CloseHandle(lock);
    }
    std::string logged = test::read_file(log).value_or("");
    EXPECT_EQ(exit_code, c.exit_code) << logged;
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    EXPECT_EQ(version_at(target), c.target_after) << logged;
    if (c.what == Case::backup_held) {
      EXPECT_EQ(version_at(target + L".relauncher-old"), L"old") << logged;
      // The same command once the scanner has let go: the journal's update is undone
      // first, then the program fails again and is rolled back.
      const DWORD again = test::finish(test::start(test::tool_path(), quoted(test::tool_path()) + L" --log " +
                                                                          quoted(log) + L" --wait-pid 1" + options));
      logged = test::read_file(log).value_or("");
      EXPECT_EQ(again, 4u) << logged;
      EXPECT_NE(logged.find(" replace restored: the update of "), std::string::npos) << logged;
      EXPECT_EQ(version_at(target), L"old") << logged;
      EXPECT_EQ(version_at(with), L"new") << logged;
      continue;
    }
    EXPECT_FALSE(exists(target + L".relauncher-old")) << logged;
    EXPECT_FALSE(exists(target + L".relauncher-new")) << logged;
    // After a failure the new version is back at --with, exactly as before the run.
    const bool with_stays = std::wstring(c.target_after) == L"old" || c.what == Case::copied;
    EXPECT_EQ(version_at(with), with_stays ? L"new" : L"(none)") << logged;
    if (c.what == Case::other_case) {
      EXPECT_EQ(version_at(target + L".relauncher-new-77-1"), L"kept") << logged;
    }
    if (c.what != Case::locked_for_long && std::wstring(c.target_after) == L"new") {
      EXPECT_EQ(test::read_file(target + L"\\data\\settings.ini").value_or(""), "deep");
    }
    if (c.what == Case::trial_fails || c.what == Case::trial_cannot_start) {
      const auto relaunched = test::wait_until_started(target + L"\\app.exe", 5000);
      ASSERT_TRUE(relaunched) << logged;
      EXPECT_EQ(relaunched->outcome, "rolled-back");
      EXPECT_EQ(relaunched->outcome_exit_code, c.what == Case::trial_fails ? "3" : "unset");
    }
  }
  SetEnvironmentVariableW(L"PROBE_app_SLEEP_MS", nullptr);
  SetEnvironmentVariableW(L"PROBE_app_EXIT", nullptr);
  SetEnvironmentVariableW(L"PROBE_register_EXIT", nullptr);
  SetEnvironmentVariableW(L"PROBE_register_SLEEP_MS", nullptr);
}

}  // namespace

namespace {

using test::quoted;
using test::TempDir;

// "\\?\" before a full path: names plain paths cannot reach ("trail.", "CON").
std::wstring as_is(const std::wstring& path) { return L"\\\\?\\" + path; }

void write_as_is(const std::wstring& path, const char* bytes) {
  HANDLE file = CreateFileW(as_is(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << test::to_utf8(path);
  DWORD written = 0;
  WriteFile(file, bytes, static_cast<DWORD>(strlen(bytes)), &written, nullptr);
  CloseHandle(file);
}

// A version holding what Windows allows but plain paths cannot reach, and a file more
// than 300 characters deep.
void add_odd_names(const std::wstring& folder) {
  for (const wchar_t* name : {L"trail.", L"trail ", L"CON", L"aux.txt"}) {
    write_as_is(folder + L"\\" + name, "odd");
  }
  std::wstring deep = folder;
  for (int level = 0; level < 6; ++level) {
    deep += L"\\" + std::wstring(50, static_cast<wchar_t>(L'a' + level));
    ASSERT_TRUE(CreateDirectoryW(as_is(deep).c_str(), nullptr)) << level;
  }
  write_as_is(deep + L"\\deep.txt", "deep");
}

// What relauncher left beside the target: nothing, once an update is done.
std::vector<std::wstring> siblings_of(const std::wstring& target) {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW((target + L".relauncher-*").c_str(), &entry);
  while (search != INVALID_HANDLE_VALUE) {
    found.push_back(entry.cFileName);
    if (!FindNextFileW(search, &entry)) {
      FindClose(search);
      break;
    }
  }
  return found;
}

HANDLE hold_without_sharing(const std::wstring& path, DWORD share = 0) {
  return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// A scanner that opens the folder relauncher copies to as soon as it appears, without
// delete sharing, and holds it 2.5 s; and a watcher that measures, every 10 ms, the
// longest time the target is missing meanwhile.
struct Scanner {
  std::wstring scanned, target;
  HANDLE copy_held;  // a file of --with, held until the scanner has its handle
  bool caught = false;
  ULONGLONG longest_missing_ms = 0;
};

DWORD WINAPI scan(void* context) {
  auto& s = *static_cast<Scanner*>(context);
  HANDLE held = INVALID_HANDLE_VALUE;
  for (const ULONGLONG until = GetTickCount64() + 20000; held == INVALID_HANDLE_VALUE && GetTickCount64() < until;) {
    held = hold_without_sharing(s.scanned, FILE_SHARE_READ | FILE_SHARE_WRITE);
    Sleep(held == INVALID_HANDLE_VALUE ? 1 : 0);
  }
  CloseHandle(s.copy_held);  // the copy goes on, and the swap finds the scanner there
  s.caught = held != INVALID_HANDLE_VALUE;
  Sleep(2500);
  CloseHandle(held);
  return 0;
}

DWORD WINAPI watch_target(void* context) {
  auto& s = *static_cast<Scanner*>(context);
  ULONGLONG missing_since = 0;
  for (const ULONGLONG until = GetTickCount64() + 6000; GetTickCount64() < until; Sleep(10)) {
    const bool there = GetFileAttributesW(s.target.c_str()) != INVALID_FILE_ATTRIBUTES;
    const ULONGLONG now = GetTickCount64();
    if (!there && missing_since == 0) {
      missing_since = now;
    } else if (there && missing_since != 0) {
      s.longest_missing_ms = std::max(s.longest_missing_ms, now - missing_since);
      missing_since = 0;
    }
  }
  return 0;
}

TEST(Replace, ReachesEveryNameWindowsAllowsMovesTheVerifiedFileItselfAndWaitsOutLocksWhileTheTargetStands) {
  enum class Case { verified_same_drive, verified_other_drive, odd_names, with_held, new_held_by_scanner, crash_code };
  const struct {
    Case what;
    DWORD exit_code;
    const char* logged;
  } cases[] = {
      // Renamed through the handle that holds it, twice: a rename by path is refused.
      {Case::verified_same_drive, 0, " how=renamed "},
      // From another volume: written from the handle, and the log shows the path as given.
      {Case::verified_other_drive, 0, " how=copied "},
      // Each backup deleted, whatever its names and depth, so the next update is done too.
      {Case::odd_names, 0, " replace backup removed"},
      // A scanner holding a file of --with while it is copied: waited out.
      {Case::with_held, 0, " replace retry error=32 "},
      // A scanner holding what was just copied beside the target: waited out while the
      // target still stands.
      {Case::new_held_by_scanner, 0, " replace retry error=32 "},
      // A crash code as the application reads it, with its hex.
      {Case::crash_code, 0xFFFFFFFF, " trial failed code=3221225477 hex=0xC0000005 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.what));
    TempDir dir;
    const std::wstring log = dir.file(L"update.log");
    const bool verified = c.what == Case::verified_same_drive || c.what == Case::verified_other_drive;
    const bool copied = c.what == Case::with_held || c.what == Case::new_held_by_scanner;
    std::wstring target = dir.file(verified ? L"apps\\Tool.bin" : L"apps\\Example");
    if (c.what == Case::verified_other_drive) {
      target = L"E:\\Tool-" + std::to_wstring(GetCurrentProcessId()) + L".bin";
    }
    const std::wstring with = dir.file(verified ? L"download\\Tool-2.bin" : copied ? L"download\\Example-2" : L"apps\\Example-2");
    test::make_folder(dir, L"apps");
    test::make_folder(dir, L"download");
    if (verified) {
      test::write_file(target, "old");
      test::write_file(with, "new");
    } else {
      make_version(dir, L"apps\\Example", "old");
      make_version(dir, copied ? L"download\\Example-2" : L"apps\\Example-2", "new");
      test::make_folder(dir, (copied ? L"download" : L"apps") + std::wstring(L"\\Example-2\\data"));
      test::write_file(with + L"\\data\\settings.ini", "deep");
    }
    if (c.what == Case::odd_names) {
      add_odd_names(target);
      add_odd_names(with);
    }
    test::set_probe_exit(with + L"\\app.exe", c.what == Case::crash_code ? 0xC0000005 : 0);
    std::wstring options = L" --replace " + test::quoted(target) + L" --with " + test::quoted(with);
    if (verified) {
      options += L" --sha256 " + test::from_utf8(test::sha256_of_file(with)) + L":" + test::quoted(with);
    }
    if (c.what == Case::crash_code) {
      options += L" --relaunch " + test::quoted(target + L"\\app.exe") + L" --trial 5";
    }
    HANDLE held = INVALID_HANDLE_VALUE;
    if (copied) {
      held = hold_without_sharing(with + L"\\data\\settings.ini");
      ASSERT_NE(held, INVALID_HANDLE_VALUE);
    }
    Scanner scanner{target + L".relauncher-new", target, held};
    HANDLE threads[2] = {};
    if (c.what == Case::new_held_by_scanner) {
      threads[0] = CreateThread(nullptr, 0, scan, &scanner, 0, nullptr);
      threads[1] = CreateThread(nullptr, 0, watch_target, &scanner, 0, nullptr);
    }
    HANDLE tool = test::start(test::tool_path(), test::quoted(test::tool_path()) + L" --log " + test::quoted(log) +
                                                     L" --wait-pid 1" + options);
    if (c.what == Case::with_held) {
      Sleep(2500);  // the lock a scanner would hold for a moment
      CloseHandle(held);
    }
    const DWORD exit_code = test::finish(tool);
    if (c.what == Case::new_held_by_scanner) {
      WaitForMultipleObjects(2, threads, TRUE, INFINITE);
      CloseHandle(threads[0]);
      CloseHandle(threads[1]);
      EXPECT_TRUE(scanner.caught);
      EXPECT_LE(scanner.longest_missing_ms, 500u);
    }
    std::string logged = test::read_file(log).value_or("");
    EXPECT_EQ(exit_code, c.exit_code) << logged;
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    // Each path as it was given: its case and its separators.
    EXPECT_NE(logged.find(" replace target=\"" + test::to_utf8(target) + "\""), std::string::npos) << logged;
    if (verified) {
      EXPECT_EQ(test::read_file(target).value_or(""), "new") << logged;
      EXPECT_EQ(exists(with), c.what == Case::verified_other_drive) << logged;
      DeleteFileW(target.c_str());
    } else {
      EXPECT_EQ(version_at(target), c.what == Case::crash_code ? L"old" : L"new") << logged;
    }
    if (c.what == Case::odd_names) {
      EXPECT_TRUE(siblings_of(target).empty()) << logged;
      make_version(dir, L"apps\\Example-3", "third");
      const DWORD again = test::finish(test::start(
          test::tool_path(), test::quoted(test::tool_path()) + L" --log " + test::quoted(log) + L" --wait-pid 1 --replace " +
                                 test::quoted(target) + L" --with " + test::quoted(dir.file(L"apps\\Example-3"))));
      logged = test::read_file(log).value_or("");
      EXPECT_EQ(again, 0u) << logged;
      EXPECT_EQ(version_at(target), L"third") << logged;
    }
    EXPECT_TRUE(siblings_of(target).empty()) << logged;
  }
  SetEnvironmentVariableW(L"PROBE_app_EXIT", nullptr);
}

}  // namespace

// --sha256 under Wine, with real files and processes: what relauncher holds cannot be
// changed while it waits, and what runs is the file it verified.

#include <windows.h>
#include <bcrypt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "files/sha256.h"

#include "support.h"

namespace {



std::string upper(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  }
  return text;
}

// Both of relauncher's compressions (the SHA extensions where the processor has them)
// give Windows' own digest, for random lengths in random pieces.
TEST(Sha256, BothCompressionsGiveWindowsOwnDigests) {
  std::vector<relauncher::Sha256Compression> compressions = {relauncher::Sha256Compression::portable};
  if (relauncher::sha256_extensions_available()) {
    compressions.push_back(relauncher::Sha256Compression::extensions);
  } else {
    std::printf("the SHA-extension compression is not tested: this processor has none\n");
  }
  std::mt19937 random(20261208);
  std::string bytes(1 << 18, '\0');
  for (char& byte : bytes) {
    byte = static_cast<char>(random());
  }
  for (int round = 0; round < 40; ++round) {
    const std::string message = bytes.substr(0, 1 + random() % bytes.size());
    const std::size_t piece = 1 + random() % 3000;
    for (const relauncher::Sha256Compression compression : compressions) {
      relauncher::Sha256 hash = relauncher::sha256_start(compression);
      for (std::size_t at = 0; at < message.size(); at += piece) {
        relauncher::sha256_add(hash, message.data() + at, std::min(piece, message.size() - at));
      }
      EXPECT_EQ(upper(relauncher::sha256_hex(hash)), test::sha256_of(message)) << message.size();
    }
  }
}

HANDLE open_for_writing(const std::wstring& file) {
  return CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

TEST(Verify, OnlyTheVerifiedInstallerRunsAndNothingChangesItMeanwhile) {
  enum class Change {
    none, tampered, wrong_digit, truncated, missing, open_for_writing, folder_swapped, data_file, link_swapped
  };
  const struct {
    Change change;
    bool runs;
    const char* logged;
  } cases[] = {
      {Change::none, true, " matches"},
      {Change::tampered, true, " matches"},
      {Change::wrong_digit, false, " does not match (expected "},
      {Change::truncated, false, " does not match (expected "},
      {Change::missing, false, " could not be held: error 2 "},
      {Change::open_for_writing, false, " could not be held: error 32 "},
      {Change::folder_swapped, false, " refused: the file started is not the verified one"},
      {Change::data_file, true, " matches"},
      // The program named by another name of the verified file (a hard link) is that file:
      // checked too, so that the link swapped with its folder runs nothing.
      {Change::link_swapped, false, " refused: the file started is not the verified one"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.change));
    test::AppLayout layout;
    test::make_folder(layout.dir, L"inst");
    const std::wstring setup = test::copy_probe(layout.dir, L"inst\\setup.exe");
    const std::wstring data = layout.dir.file(L"inst\\package.msi");
    test::write_file(data, "package");
    const std::wstring verified = c.change == Change::data_file ? data : setup;
    std::wstring program = setup;
    if (c.change == Change::link_swapped) {
      program = layout.dir.file(L"inst\\link.exe");
      ASSERT_TRUE(CreateHardLinkW(program.c_str(), setup.c_str(), nullptr));
    }
    std::string digest = test::sha256_of_file(verified);
    ASSERT_EQ(digest.size(), 64u);
    if (c.change == Change::wrong_digit) {
      digest.back() = digest.back() == '0' ? '1' : '0';
    }
    if (c.change == Change::truncated) {
      test::write_file(setup, test::read_file(setup)->substr(0, 4096));
    }
    if (c.change == Change::missing) {
      DeleteFileW(setup.c_str());
    }
    HANDLE writer = c.change == Change::open_for_writing ? open_for_writing(setup) : INVALID_HANDLE_VALUE;
    SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", c.change == Change::data_file ? L"1500" : nullptr);
    HANDLE app = test::start_probe(layout.app, 60000);  // ended once the file has been tried
    ASSERT_TRUE(test::wait_until_started(layout.app));
    HANDLE tool = test::start(test::tool_path(),
                              test::quoted(test::tool_path()) + L" --log " + test::quoted(layout.log) + L" --wait-pid " +
                                  std::to_wstring(test::probe_started(layout.app)->pid) + L" --sha256 " +
                                  test::from_utf8(digest) + L":" + verified +
                                  L" --relaunch-on-failure --relaunch " + test::quoted(layout.helper) + L" -- " + test::quoted(program));
    // relauncher holds the file once it tells of it, and waits for the application.
    ASSERT_TRUE(test::wait_for_text(layout.log, " verify ")) << test::read_growing(layout.log);
    if (c.change == Change::tampered) {
      // Written, deleted, renamed or replaced: each refused while relauncher holds it.
      const std::wstring other = test::copy_probe(layout.dir, L"other.exe");
      EXPECT_EQ(open_for_writing(setup), INVALID_HANDLE_VALUE);
      EXPECT_FALSE(DeleteFileW(setup.c_str()));
      EXPECT_FALSE(MoveFileW(setup.c_str(), layout.dir.file(L"renamed.exe").c_str()));
      EXPECT_FALSE(MoveFileExW(other.c_str(), setup.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    if (c.change == Change::folder_swapped || c.change == Change::link_swapped) {
      // Wine lets a folder holding a held file be renamed: another program takes its place.
      // What this shows: the planted program is refused and its first action, writing its
      // record, never happens. What it cannot show: that the start was suspended, since
      // Wine starts a process slowly enough that the check would win without suspension.
      ASSERT_TRUE(MoveFileW(layout.dir.file(L"inst").c_str(), layout.dir.file(L"inst2").c_str()));
      test::make_folder(layout.dir, L"inst");
      test::copy_probe(layout.dir, L"inst\\setup.exe");
      test::copy_probe(layout.dir, L"inst\\link.exe");
    }
    TerminateProcess(app, 0);  // the application quits: the program may start now
    if (c.change == Change::data_file) {
      // The program reads its package late: still held while it runs.
      ASSERT_TRUE(test::wait_for_file(setup + L".started", 5000));
      EXPECT_EQ(open_for_writing(data), INVALID_HANDLE_VALUE);
    }
    const DWORD exit_code = test::finish(tool);
    test::finish(app);
    if (writer != INVALID_HANDLE_VALUE) {
      CloseHandle(writer);
    }
    EXPECT_EQ(exit_code, c.runs ? 0u : 0xFFFFFFFFu);
    const std::string log = test::read_file(layout.log).value_or("");
    EXPECT_NE(log.find(" verify file=\"" + test::to_utf8(verified) + "\""), std::string::npos) << log;
    EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    // Hashed while the application is waited for; every hash in before anything starts.
    if (c.runs) {
      EXPECT_LT(log.find(" verify "), log.find(" run pid=")) << log;
    }
    EXPECT_EQ(test::probe_started(program).has_value(), c.runs);
    const auto relaunch = test::wait_until_started(layout.helper);
    ASSERT_TRUE(relaunch);
    EXPECT_EQ(relaunch->outcome, c.runs ? "succeeded" : "not-started");
    // Released once the program has ended.
    HANDLE after = open_for_writing(verified);
    EXPECT_EQ(after == INVALID_HANDLE_VALUE, c.change == Change::missing);
    if (after != INVALID_HANDLE_VALUE) {
      CloseHandle(after);
    }
  }
  SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", nullptr);
}

}  // namespace

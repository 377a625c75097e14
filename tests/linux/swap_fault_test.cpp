// --replace when any call that changes or flushes a file fails, or relauncher is ended
// right after it (a kill, a power cut): in every shape of update, after each such call in
// turn, a whole version stands at the target, an application relaunched is told the truth
// about what it runs, both versions stand whole somewhere unless the update succeeded, and
// the same command again finishes the job with no sibling left.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>
#include <set>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "versions.h"

namespace {

using test::TempDir;
using test::Tree;

enum class Fault { fail, end };

const struct Scenario {
  const char* name;
  bool file, copied, first_install, failing_program, failing_trial;
  const char* outcome;  // which version a finished update leaves at the target
  int exit_code;        // and its exit code
} scenarios[] = {
    {"FolderRenamed", false, false, false, false, false, "new", 0},
    {"FolderCopied", false, true, false, false, false, "new", 0},
    {"FileRenamed", true, false, false, false, false, "new", 0},
    {"FileCopied", true, true, false, false, false, "new", 0},
    {"FirstInstall", false, false, true, false, false, "new", 0},
    {"FailingProgram", false, false, false, true, false, "old", 4},
    {"FailingTrial", false, false, false, false, true, "old", 255},
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

void PrintTo(Fault fault, std::ostream* out) {
  *out << (fault == Fault::fail ? "fail" : "end");
}

// One update, laid out in a fresh folder.
struct Update {
  TempDir dir;
  std::string target, with, record, log;
  Tree old_version, new_version;
  std::vector<std::string> line;
};

void lay_out(const Scenario& s, Update& u) {
  const std::string name = s.file ? "tool" : "Example";
  u.target = u.dir.file("apps/" + name);
  u.with = u.dir.file((s.copied ? "incoming/" : "apps/") + name + "-2");
  u.record = u.dir.file("ran");
  u.log = u.dir.file("log");
  (void)std::system(("mkdir -p '" + u.dir.file("apps") + "' '" + u.dir.file("incoming") + "'").c_str());
  if (!s.first_install) {
    test::make_version(u.target, "old", u.record, 0, "0", s.file);
  }
  test::make_version(u.with, "new", u.record, s.failing_trial ? 3 : 0, "0", s.file);
  u.old_version = test::tree_of(u.target);
  u.new_version = test::tree_of(u.with);
  u.line = {"--log", u.log, "--wait-pid", test::absent_pid(), "--relaunch-on-failure",
            "--replace", u.target, "--with", u.with,
            "--relaunch", s.file ? u.target : u.target + "/app"};
  if (s.failing_trial) {
    u.line.insert(u.line.end(), {"--trial", "5"});
  }
  if (s.failing_program) {
    test::write_file(u.dir.file("register.sh"), "#!/bin/sh\nexit 4\n", 0755);
    u.line.insert(u.line.end(), {"--", u.dir.file("register.sh")});
  }
}

test::ToolRun run_with_seam(const Update& u, const char* variable, const std::string& value) {
  return test::run_tool(u.line, test::with_file_seam(variable, value));
}

std::size_t calls_made(const Scenario& s) {
  Update u;
  lay_out(s, u);
  run_with_seam(u, "RELAUNCHER_TEST_CALL_LOG", u.dir.file("calls"));
  return test::lines_of(test::read_file(u.dir.file("calls")).value_or("")).size();
}

// Where a version stands whole: the target, --with, or a sibling of the target.
std::vector<std::string> places_of(const Update& u, const Tree& version) {
  std::vector<std::string> places;
  std::vector<std::string> candidates = test::siblings_in(u.dir.file("apps"));
  candidates.insert(candidates.begin(), {u.target, u.with});
  for (const std::string& path : candidates) {
    if (test::tree_of(path) == version) {
      places.push_back(path);
    }
  }
  return places;
}

void check_after_fault(const Scenario& s, const Update& u, const test::ToolRun& run, Fault fault) {
  const std::string logged = test::read_file(u.log).value_or("");
  const std::string at_target = test::version_held(u.target, u.old_version, u.new_version);
  EXPECT_EQ(at_target, at_target == "new" ? "new" : s.first_install ? "(none)" : "old") << logged;
  // What each relaunched application was told matches what it runs (told `failed` after a
  // roll-back that could not be done, it runs the new version).
  for (const std::string& line : test::records(u.record, test::relaunches_logged(u.log))) {
    if (test::contains(line, " succeeded ")) {
      EXPECT_EQ(line.substr(0, 4), "new ") << logged;
    } else if (!test::contains(line, " failed ")) {
      EXPECT_EQ(line.substr(0, 4), "old ") << logged;
    }
  }
  // Ended, the update succeeded once it was accepted: the old version may be half deleted.
  const std::optional<std::string> journal = test::read_file(u.target + ".relauncher-journal");
  const bool accepted = fault == Fault::fail
                            ? run.exit_code == 0
                            : !journal || test::contains(*journal, "phase=accepted");
  const bool succeeded = at_target == "new" && accepted;
  if (succeeded) {
    return;
  }
  // Nothing lost: both versions whole somewhere, and a sibling that holds one is named.
  for (const Tree* version : {&u.old_version, &u.new_version}) {
    if (version->empty()) {
      continue;
    }
    const std::vector<std::string> places = places_of(u, *version);
    ASSERT_FALSE(places.empty()) << logged;
    const std::string& place = places.front();
    if (fault == Fault::fail && place != u.target && place != u.with) {
      EXPECT_TRUE(test::contains(logged, place)) << place << "\n" << logged;
    }
  }
}

// The same command again: when the first run had finished the update (a failed write of
// its log line, say), only what it left beside the target is cleared.
void check_next_run(const Scenario& s, const Update& u) {
  const bool with_stays = s.copied || std::string(s.outcome) == "old";
  const bool finished =
      test::version_held(u.target, u.old_version, u.new_version) == s.outcome &&
      test::version_held(u.with, u.old_version, u.new_version) == (with_stays ? "new" : "(none)");
  const test::ToolRun again = test::run_tool(u.line);
  const std::string logged = test::read_file(u.log).value_or("");
  if (!finished) {
    EXPECT_EQ(again.exit_code, s.exit_code) << logged;
  }
  EXPECT_EQ(test::version_held(u.target, u.old_version, u.new_version), s.outcome) << logged;
  EXPECT_EQ(test::version_held(u.with, u.old_version, u.new_version), with_stays ? "new" : "(none)")
      << logged;
  EXPECT_EQ(test::siblings_in(u.dir.file("apps")), std::vector<std::string>()) << logged;
  test::records(u.record, test::relaunches_logged(u.log));  // the relaunches done with
}

class SwapFaults : public testing::TestWithParam<std::tuple<Scenario, Fault>> {};

TEST_P(SwapFaults, EachCallFailingOrEndingRelauncherLeavesAWholeVersionAndTheNextRunFinishes) {
  const Scenario& s = std::get<0>(GetParam());
  const Fault fault = std::get<1>(GetParam());
  const std::size_t calls = calls_made(s);
  ASSERT_GT(calls, 10u);
  for (std::size_t n = 1; n <= calls; ++n) {
    SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(calls));
    Update u;
    lay_out(s, u);
    const test::ToolRun run =
        run_with_seam(u, fault == Fault::fail ? "RELAUNCHER_TEST_FAIL_CALL" : "RELAUNCHER_TEST_END_AFTER_CALL",
                      std::to_string(n));
    if (fault == Fault::end) {
      EXPECT_EQ(run.exit_code, 128 + SIGKILL);
    }
    check_after_fault(s, u, run, fault);
    check_next_run(s, u);
    if (testing::Test::HasFailure()) {
      return;  // one call's story is enough to read
    }
  }
}

std::string name_of(const testing::TestParamInfo<std::tuple<Scenario, Fault>>& info) {
  return std::string(std::get<0>(info.param).name) +
         (std::get<1>(info.param) == Fault::fail ? "Failing" : "Ended");
}

INSTANTIATE_TEST_SUITE_P(Replace, SwapFaults,
                         testing::Combine(testing::ValuesIn(scenarios),
                                          testing::Values(Fault::fail, Fault::end)),
                         name_of);

}  // namespace

namespace {

// What a file system lacks: hard links (vfat, exFAT refuse link() with EPERM) or the
// flags of renameat2 (NFS and some FUSE refuse them with EINVAL). The swap falls back to
// two renames; any other error of the link stops it untouched.
TEST(SwapFallbacks, WhatAFileSystemLacksFallsBackToTwoRenamesAndAFailureStops) {
  const struct {
    const Scenario& scenario;
    const char* refused;
    int exit_code;
    const char* outcome;
    const char* logged;
  } cases[] = {
      {scenarios[2] /* FileRenamed */, "link:1", 0, "new", " how=renamed "},
      {scenarios[2] /* FileRenamed */, "link:5", 255, "old",
       " replace not done: keep the file at the target failed, error 5 "},
      {scenarios[0] /* FolderRenamed */, "renameat2:22", 0, "new", " how=renamed "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refused);
    Update u;
    lay_out(c.scenario, u);
    const test::ToolRun run = run_with_seam(u, "RELAUNCHER_TEST_REFUSE", c.refused);
    const std::string logged = test::read_file(u.log).value_or("");
    EXPECT_EQ(run.exit_code, c.exit_code) << logged;
    EXPECT_TRUE(test::contains(logged, c.logged)) << logged;
    EXPECT_EQ(test::version_held(u.target, u.old_version, u.new_version), c.outcome) << logged;
    EXPECT_EQ(test::siblings_in(u.dir.file("apps")), std::vector<std::string>()) << logged;
  }
}

// A folder flush that is missing cannot be seen by a power cut on ext4 (its journal keeps
// the order of renames), so the calls themselves are read: the folder holding the target
// is flushed right after each rename or exchange, and before the backup is let go.
TEST(SwapFlushes, TheTargetsFolderRightAfterEachRenameAndBeforeTheBackupGoes) {
  for (const Scenario& s : scenarios) {
    SCOPED_TRACE(s.name);
    Update u;
    lay_out(s, u);
    run_with_seam(u, "RELAUNCHER_TEST_CALL_LOG", u.dir.file("calls"));
    const std::vector<std::string> calls =
        test::lines_of(test::read_file(u.dir.file("calls")).value_or(""));
    const std::string apps = u.dir.file("apps");
    const std::string flush = " fsync " + apps;
    std::size_t renames = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
      const std::string& call = calls[i];
      const bool renames_there = (test::contains(call, " rename") || test::contains(call, " link ")) &&
                                 test::contains(call, " " + apps + "/");
      if (!renames_there) {
        continue;
      }
      ++renames;
      ASSERT_LT(i + 1, calls.size()) << call;
      EXPECT_TRUE(test::contains(calls[i + 1] + "\n", flush + "\n")) << call << "\nthen " << calls[i + 1];
      if (test::contains(call, ".relauncher-old") && test::contains(call, "renameat2") &&
          std::string(s.outcome) == "new") {
        ASSERT_GT(i, 0u);
        EXPECT_TRUE(test::contains(calls[i - 1] + "\n", flush + "\n"))
            << "before the backup's rename: " << calls[i - 1];
      }
    }
    EXPECT_GE(renames, 3u);
    // Whatever a copy wrote beside the target is on the disk before it is renamed in.
    const std::string beside = u.target + ".relauncher-new";
    std::set<std::string> written, flushed;
    for (const std::string& call : calls) {
      const std::size_t name_at = call.find(' ') + 1;
      const std::size_t path_at = call.find(' ', name_at) + 1;
      const std::string name = call.substr(name_at, path_at - name_at - 1);
      const std::string path = call.substr(path_at);
      if (path == beside || path.compare(0, beside.size() + 1, beside + "/") == 0) {
        if (name.compare(0, 4, "open") == 0) {
          written.insert(path);
        } else if (name == "fsync") {
          flushed.insert(path);
        }
      }
    }
    for (const std::string& path : written) {
      EXPECT_EQ(flushed.count(path), 1u) << path << " was never flushed";
    }
  }
}

}  // namespace

namespace {

// The seam fails and counts every call the swap, the journal and the lock make to change
// or flush files: a call of that kind added to their code must be added to the seam too.
TEST(SwapFaultSeam, CoversEveryCallThatChangesOrFlushesFiles) {
  void* seam = dlopen((test::build_dir() + "/libfile_calls.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(seam, nullptr) << dlerror();
  const auto* seam_calls = static_cast<const char* const*>(dlsym(seam, "seam_calls"));
  ASSERT_NE(seam_calls, nullptr);
  std::set<std::string> covered;
  for (const char* const* call = seam_calls; *call != nullptr; ++call) {
    covered.insert(*call);
  }
  const char* const changing[] = {
      "renameat2", "renameat", "rename", "linkat", "link", "unlinkat", "unlink", "rmdir",
      "mkdirat", "mkdir", "open", "openat", "creat", "write", "writev", "pwrite", "pwritev",
      "ftruncate", "truncate", "fsync", "fdatasync", "syncfs", "sync", "sync_file_range",
      "chmod", "fchmod", "fchmodat", "chown", "fchown", "lchown", "fchownat", "utimensat",
      "futimens", "utimes", "flock", "fcntl", "symlinkat", "symlink", "mknod", "mkfifo",
      "copy_file_range", "sendfile", "fallocate", "remove", "fopen"};
  for (const char* file : {"swap_linux.cpp", "remove_tree_linux.cpp", "target_lock_linux.cpp",
                           "system_posix.cpp", "swap.cpp", "journal.cpp"}) {
    const std::string code =
        test::read_file(std::string(RELAUNCHER_SOURCE_DIR) + "/src/files/" + file).value_or("");
    ASSERT_FALSE(code.empty()) << file;
    for (const char* name : changing) {
      const std::regex called("[^_a-zA-Z0-9.>:]" + std::string(name) + "\\(");
      if (std::regex_search(code, called)) {
        EXPECT_EQ(covered.count(name), 1u) << file << " calls " << name << ", which the seam does not cover";
      }
    }
  }
  dlclose(seam);
}

}  // namespace

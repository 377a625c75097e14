// --replace, --with and --trial on Linux, with real folders and files: the new version put
// in place, the old one kept until the new one stands and is accepted, and put back when
// the program or the new version's first seconds fail.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "support.h"
#include "versions.h"

namespace {

using test::TempDir;

using test::contains;
using test::exists;
using test::make_version;
using test::records;

std::string version_at(const std::string& folder) {
  return test::read_file(folder + "/version.txt").value_or("(none)");
}

constexpr time_t a_past_day = 978307200;  // 2001-01-01

// A row of an update's table: its exit code, the version at the target afterwards, and a
// text the log must hold.
template <typename Case>
struct SwapCase {
  Case what;
  int exit_code;
  const char* target_after;
  const char* logged;
};

// What a new version that has to be copied holds beyond plain files: links (one that
// leads nowhere), a setuid program, a folder of its own mode, a file of a past day, and
// its top as a private temporary folder leaves it.
void add_what_a_copy_keeps(const std::string& with, const std::string& target) {
  (void)symlink("version.txt", (with + "/lib/link").c_str());
  (void)symlink("nowhere", (with + "/lib/dangling").c_str());
  (void)chmod((with + "/app").c_str(), 04755);
  (void)chmod((with + "/lib/deep").c_str(), 0750);
  const struct timespec times[2] = {{a_past_day + 86400, 0}, {a_past_day, 0}};  // access, modification
  (void)utimensat(AT_FDCWD, (with + "/lib/deep/data.txt").c_str(), times, 0);
  (void)chmod((with + "/lib").c_str(), 0755);
  (void)chmod(with.c_str(), 0700);
  (void)chmod(target.c_str(), 0751);
}

void check_what_the_copy_kept(const std::string& target) {
  const auto mode_of = [](const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0u;
  };
  EXPECT_EQ(test::tree_of(target)["/lib/link"], "-> version.txt");
  EXPECT_EQ(test::tree_of(target)["/lib/dangling"], "-> nowhere");
  EXPECT_EQ(mode_of(target + "/app"), 04755u);
  EXPECT_EQ(mode_of(target + "/lib/deep"), 0750u);
  EXPECT_EQ(mode_of(target + "/lib"), 0755u);
  EXPECT_EQ(mode_of(target), 0751u) << "the top takes the old version's mode";
  struct stat data {};
  ASSERT_EQ(stat((target + "/lib/deep/data.txt").c_str(), &data), 0);
  EXPECT_EQ(data.st_mtim.tv_sec, a_past_day);
}

TEST(Replace, PutsTheNewVersionInPlaceAndTheOldOneBackWhenItFails) {
  enum class Case { folder, file, first_install, failing_program, trial_fails, trial_passes, trial_stub_exits,
                    stale_backup, cut_short, current_folder_inside, with_missing, other_file_system,
                    relative_paths, trial_fails_helper_lingers, copy_given_up, trial_crashes,
                    with_in_shared_memory };
  const struct {
    Case what;
    int exit_code;
    const char* target_after;  // which version stands at the target afterwards
    const char* logged;
    const char* relaunched;    // the record's last line: version, outcome, exit code
  } cases[] = {
      {Case::folder, 0, "new", " replace target=", "new succeeded 0"},
      {Case::file, 0, "new", " how=renamed ", "new succeeded 0"},
      {Case::first_install, 0, "new", " how=renamed ", "new succeeded 0"},
      {Case::failing_program, 4, "old", " replace rolled back: the program failed (exit code 4)",
       "old failed 4"},
      {Case::trial_fails, 255, "old", " trial failed code=3 ", "old rolled-back 3"},
      {Case::trial_passes, 0, "new", " trial passed after_ms=", "new succeeded 0"},
      // A launcher stub that starts the real application and exits 0 within the trial.
      {Case::trial_stub_exits, 0, "new", " trial passed after_ms=", "new succeeded 0"},
      {Case::stale_backup, 0, "new", " replace backup removed: left by an earlier run", "new succeeded 0"},
      {Case::cut_short, 0, "new", " replace restored: ", "new succeeded 0"},
      {Case::current_folder_inside, 0, "new", " how=exchange ", "new succeeded 0"},
      {Case::with_missing, 255, "old", " replace not done: --with ", "old not-started unset"},
      {Case::other_file_system, 0, "new", " how=copied ", "new succeeded 0"},
      // Relative to the current folder, one with a trailing slash: made absolute at once.
      {Case::relative_paths, 0, "new", " how=exchange ", "new succeeded 0"},
      // A helper the failing new version started still runs from the target: waited for.
      {Case::trial_fails_helper_lingers, 255, "old", " replace waited: for 1 process(es) running from ",
       "old rolled-back 3"},
      // Copied while relauncher waits; a wait that gives up stops the copy and removes it.
      {Case::copy_given_up, 255, "old", " still running after 2 s: gave up", ""},
      // Killed by a signal in its trial, without --relaunch-on-failure: the code a shell
      // would give, and the old version is told it was brought back all the same.
      {Case::trial_crashes, 255, "old", " trial failed code=139 hex=0x0000008B ", "old rolled-back 139"},
      // Unpacked where nothing may be moved from, only copied: no folder of its own is needed.
      {Case::with_in_shared_memory, 0, "new", " how=copied ", "new succeeded 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.what));
    TempDir dir;
    const std::string record = dir.file("ran");
    const std::string target = dir.file("apps/Example");
    std::string with = dir.file("apps/Example-2");
    const std::string log = dir.file("log");
    if (c.what != Case::first_install && c.what != Case::cut_short) {
      make_version(target, "old", record);
    }
    if (c.what == Case::copy_given_up) {
      with = dir.file("download/Example-2");
      (void)mkdir(dir.file("download").c_str(), 0755);
    }
    char shared[] = "/dev/shm/relauncher-test-XXXXXX";
    if (c.what == Case::with_in_shared_memory) {
      if (mkdtemp(shared) == nullptr) {
        std::cout << "skipped --with in /dev/shm: this machine has none\n";
        continue;
      }
      with = std::string(shared) + "/Example-2";
    }
    if (c.what == Case::other_file_system) {
      // Another file system: a tmpfs of the test's own (root only).
      (void)mkdir(dir.file("tmpfs").c_str(), 0755);
      if (std::system(("mount -t tmpfs tmpfs '" + dir.file("tmpfs") + "' 2>/dev/null").c_str()) != 0) {
        std::cout << "skipped the other file system: this machine lets the test mount no tmpfs\n";
        continue;
      }
      with = dir.file("tmpfs/Example-2");
    }
    const bool trial_fails = c.what == Case::trial_fails || c.what == Case::trial_fails_helper_lingers ||
                             c.what == Case::trial_crashes;
    const int new_exit = trial_fails ? 3 : 0;
    const char* new_sleep = c.what == Case::trial_passes ? "3" : c.what == Case::folder ? "0" : "0.5";
    if (c.what != Case::with_missing) {
      make_version(with, "new", record, new_exit, new_sleep);
    }
    if (c.what == Case::trial_fails_helper_lingers) {
      test::write_file(with + "/helper", test::read_file(test::build_dir() + "/probe").value_or(""), 0755);
      test::set_probe(with + "/helper", "SLEEP_MS", "1500");
      test::write_file(with + "/app",
                       "#!/bin/sh\necho \"new $RELAUNCHER_OUTCOME $RELAUNCHER_EXIT_CODE\" >> '" + record +
                           "'\nhere=\"$(dirname \"$0\")\"\n\"$here/helper\" &\n" +
                           "while [ ! -e \"$here/helper.started\" ]; do sleep 0.05; done\nexit 3\n",
                       0755);
    }
    if (c.what == Case::trial_crashes) {
      test::write_file(with + "/app",
                       "#!/bin/sh\necho \"new $RELAUNCHER_OUTCOME $RELAUNCHER_EXIT_CODE\" >> '" + record +
                           "'\nkill -SEGV $$\n",
                       0755);
    }
    if (c.what == Case::other_file_system) {
      add_what_a_copy_keeps(with, target);
    }
    if (c.what == Case::stale_backup) {
      make_version(target + ".relauncher-old", "older", record);
    }
    if (c.what == Case::cut_short) {
      make_version(target + ".relauncher-old", "old", record);  // killed between two renames
    }
    // The application, still running when the wait gives up.
    const pid_t application =
        c.what == Case::copy_given_up ? test::start_probe(test::copy_probe(dir, "running"), 20000) : 0;
    std::vector<std::string> line = {"--log", log, "--wait-pid",
                                     application != 0 ? std::to_string(application) : test::absent_pid()};
    if (c.what != Case::trial_crashes) {
      line.push_back("--relaunch-on-failure");
    }
    if (application != 0) {
      line.insert(line.end(), {"--wait-timeout", "2"});
    }
    std::string relaunch = target + "/app";
    if (c.what == Case::file) {
      test::write_file(dir.file("apps/tool"), "old");
      test::write_file(dir.file("apps/tool-2"), "new");
      line.insert(line.end(), {"--replace", dir.file("apps/tool"), "--with", dir.file("apps/tool-2")});
    } else if (c.what == Case::relative_paths) {
      line.insert(line.end(), {"--replace", "Example/", "--with", "Example-2"});
    } else {
      line.insert(line.end(), {"--replace", target, "--with", with});
    }
    line.insert(line.end(), {"--relaunch", relaunch});
    if (trial_fails || c.what == Case::trial_passes || c.what == Case::trial_stub_exits) {
      line.insert(line.end(), {"--trial", "2"});
    }
    if (c.what == Case::failing_program) {
      test::write_file(dir.file("register.sh"), "#!/bin/sh\nexit 4\n", 0755);
      line.insert(line.end(), {"--", dir.file("register.sh")});
    }
    if (c.what == Case::current_folder_inside) {  // the program tells where it runs
      line.insert(line.end(), {"--", "/bin/sh", "-c", "pwd -P > '" + dir.file("cwd") + "'"});
    }
    const pid_t tool = test::start_tool(line, [&] {
      if (c.what == Case::other_file_system) {
        umask(077);  // a caller's private umask must not cut the copy's modes
      }
      if (c.what == Case::current_folder_inside) {
        (void)chdir(target.c_str());
      }
      if (c.what == Case::relative_paths) {
        (void)chdir(dir.file("apps").c_str());
      }
    });
    if (application != 0) {
      // The copy begins while relauncher waits for the application.
      bool copying = false;
      for (int waited = 0; !copying && waited < 5000; waited += 5) {
        copying = exists(target + ".relauncher-new");
        test::pause_for_ms(5);
      }
      EXPECT_TRUE(copying);
    }
    const test::ToolRun run{tool, test::finish(tool), {}};
    test::set_probe("helper", "SLEEP_MS", "");
    if (application != 0) {
      (void)kill(application, SIGKILL);
      (void)test::finish(application);
    }
    EXPECT_EQ(run.exit_code, c.exit_code);
    const std::string logged = test::read_file(log).value_or("");
    EXPECT_TRUE(contains(logged, c.logged)) << logged;
    if (c.what == Case::file) {
      EXPECT_EQ(test::read_file(dir.file("apps/tool")).value_or(""), "new");
      EXPECT_FALSE(exists(dir.file("apps/tool.relauncher-old")));
      continue;
    }
    EXPECT_EQ(version_at(target), c.target_after) << logged;
    if (c.what == Case::current_folder_inside) {
      char apps[4096];
      ASSERT_NE(realpath(dir.file("apps").c_str(), apps), nullptr);
      EXPECT_EQ(test::read_file(dir.file("cwd")).value_or(""), std::string(apps) + "\n");
    }
    // A failed trial: the new version ran first, then the old one came back.
    // (Nothing is relaunched while the application still runs.)
    const std::vector<std::string> ran = records(record, *c.relaunched == '\0' ? 0 : trial_fails ? 2 : 1);
    EXPECT_EQ(ran.empty() ? "" : ran.back(), c.relaunched) << logged;
    // The backup never outlives a successful update; after a failure the new version is
    // back at --with, exactly as before the run (a copy of it is simply gone).
    EXPECT_FALSE(exists(target + ".relauncher-old")) << logged;
    EXPECT_FALSE(exists(target + ".relauncher-new")) << logged;
    EXPECT_FALSE(exists(target + ".relauncher-done")) << logged;
    const bool with_stays = c.what == Case::failing_program || trial_fails ||
                            c.what == Case::other_file_system || c.what == Case::copy_given_up ||
                            c.what == Case::with_in_shared_memory;
    EXPECT_EQ(version_at(with), with_stays ? "new" : "(none)") << logged;
    if (c.what == Case::with_in_shared_memory) {
      (void)std::system(("rm -rf '" + std::string(shared) + "'").c_str());
    }
    if (c.what == Case::other_file_system) {
      check_what_the_copy_kept(target);
      (void)std::system(("umount -l '" + dir.file("tmpfs") + "'").c_str());
    }
  }
}

// What runs from the target is waited for as the application is, within --wait-timeout:
// a helper of a folder version, or a file version itself. It is ended only under
// --end-folder-processes; after a failed trial the wait is bounded all the same.
TEST(Replace, WhatRunsFromTheTargetIsWaitedForAndEndedOnlyWhenAllowed) {
  enum class Case { helper_runs, file_runs, file_runs_ended, helper_outlives_trial, helper_outlives_trial_ended };
  const SwapCase<Case> cases[] = {
      {Case::helper_runs, 255, "old", " gave up\n"},
      {Case::file_runs, 255, "old", " gave up\n"},
      {Case::file_runs_ended, 0, "new", " how=renamed "},
      // The failed new version leaves a helper that never ends: the roll-back gives up
      // after its bound, or ends the helper when it may.
      {Case::helper_outlives_trial, 255, "new", " replace waited: for 1 process(es) running from "},
      {Case::helper_outlives_trial_ended, 255, "old", ", ended 1, left 0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.what));
    TempDir dir;
    const std::string record = dir.file("ran");
    const bool file = c.what == Case::file_runs || c.what == Case::file_runs_ended;
    const bool trial = c.what == Case::helper_outlives_trial || c.what == Case::helper_outlives_trial_ended;
    const std::string target = dir.file(file ? "apps/tool" : "apps/Example");
    const std::string with = target + "-2";
    make_version(dir.file("apps/Example"), "old", record);
    make_version(with, "new", record, 0, "0", file);
    // The old file itself, or a helper of the version that comes to stand at the target.
    const std::string old_bytes = test::read_file(test::build_dir() + "/probe").value_or("");
    test::write_file(file ? target : (trial ? with : target) + "/lib/helper", old_bytes, 0755);
    // It runs well past every bound, and is killed when the row is done with it.
    const std::string runs = file ? target : target + "/lib/helper";
    test::set_probe(runs, "SLEEP_MS", "30000");
    std::vector<std::string> line = {"--log", dir.file("log"), "--wait-pid", test::absent_pid(),
                                     "--wait-timeout", "1", "--replace", target, "--with", with};
    if (c.what == Case::file_runs_ended || c.what == Case::helper_outlives_trial_ended) {
      line.push_back("--end-folder-processes");
    }
    if (trial) {
      test::write_file(with + "/app",
                       "#!/bin/sh\nhere=\"$(dirname \"$0\")\"\n\"$here/lib/helper\" &\n"
                       "while [ ! -e \"$here/lib/helper.started\" ]; do sleep 0.05; done\nexit 3\n",
                       0755);
      line.insert(line.end(), {"--relaunch", target + "/app", "--trial", "2"});
    }
    const pid_t started = trial ? 0 : test::start_probe(runs, 30000);
    ASSERT_TRUE(trial || test::wait_until_started(runs));
    const test::ToolRun run = test::run_tool(line);
    test::set_probe(runs, "SLEEP_MS", "");
    if (const std::optional<test::ProbeRecord> left = test::probe_started(runs)) {
      (void)kill(left->pid, SIGKILL);
    }
    if (started != 0) {
      (void)test::finish(started);
    }
    const std::string logged = test::read_file(dir.file("log")).value_or("");
    EXPECT_EQ(run.exit_code, c.exit_code) << logged;
    EXPECT_TRUE(contains(logged, c.logged)) << logged;
    const std::string now = file ? (test::read_file(target) == old_bytes ? "old" : "new") : version_at(target);
    EXPECT_EQ(now, c.target_after) << logged;
  }
}

// Under --trial a new version that cannot even be started is rolled back like one that
// fails; after a roll-back there is no trial: the old version is relaunched as the options say.
TEST(Replace, ANewVersionThatCannotStartFailsItsTrialAndARolledBackOneHasNone) {
  enum class Case { not_executable, random_bytes, missing, no_interpreter, failing_program };
  const struct {
    Case what;
    int exit_code;
    const char* logged;
    const char* relaunched;  // the record's last line
  } cases[] = {
      {Case::not_executable, 255, " trial failed: the new version could not be started, error 13 ",
       "old rolled-back unset"},
      {Case::random_bytes, 255, " trial failed: the new version could not be started, error 8 ",
       "old rolled-back unset"},
      {Case::missing, 255, " trial failed: the new version could not be started, error 2 ",
       "old rolled-back unset"},
      {Case::no_interpreter, 255, " trial failed: the new version could not be started, error 2 ",
       "old rolled-back unset"},
      {Case::failing_program, 4, " replace rolled back: the program failed (exit code 4)", "old failed 4"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.what));
    TempDir dir;
    const std::string target = dir.file("apps/Example");
    const std::string with = dir.file("apps/Example-2");
    make_version(target, "old", dir.file("ran"));
    make_version(with, "new", dir.file("ran"));
    if (c.what == Case::not_executable) {
      chmod((with + "/app").c_str(), 0644);
    } else if (c.what == Case::random_bytes) {
      test::write_file(with + "/app", std::string("\x7f\x01\x9c\x33 not a program"), 0755);
    } else if (c.what == Case::missing) {
      unlink((with + "/app").c_str());
    } else if (c.what == Case::no_interpreter) {
      test::write_file(with + "/app", "#!/nonexistent/sh\nexit 0\n", 0755);
    }
    std::vector<std::string> line = {"--log", dir.file("log"), "--wait-pid", test::absent_pid(),
                                     "--relaunch-on-failure", "--replace", target, "--with", with,
                                     "--relaunch", target + "/app", "--trial", "2"};
    if (c.what == Case::failing_program) {
      test::write_file(dir.file("register.sh"), "#!/bin/sh\nexit 4\n", 0755);
      line.insert(line.end(), {"--", dir.file("register.sh")});
    }
    const test::ToolRun run = test::run_tool(line);
    const std::string logged = test::read_file(dir.file("log")).value_or("");
    EXPECT_EQ(run.exit_code, c.exit_code) << logged;
    EXPECT_TRUE(contains(logged, c.logged)) << logged;
    EXPECT_FALSE(contains(logged, " trial passed") || contains(logged, " trial failed code=")) << logged;
    EXPECT_EQ(version_at(target), "old") << logged;
    EXPECT_EQ(version_at(with), "new") << logged;
    const std::vector<std::string> ran = records(dir.file("ran"), 1);
    ASSERT_FALSE(ran.empty()) << logged;
    EXPECT_EQ(ran.back(), c.relaunched) << logged;
    EXPECT_EQ(test::siblings_in(dir.file("apps")), std::vector<std::string>()) << logged;
  }
}

// What earlier runs left, or what stands inside a version, never blocks an update and is
// never deleted beyond the version: a leftover that cannot go is set aside, a journal that
// cannot be read is set aside, an update accepted as the session ended stays accepted.
TEST(Replace, LeftoversJournalsAndMountsNeitherBlockNorLeakTheDeletion) {
  enum class Case { stale_probes, mount_in_stale_backup, mount_in_old_version, link_in_old_version, copy_of_a_fifo,
                    truncated_journal, session_end_in_trial, hang_up_in_trial, ended_in_trial_with_taken };
  const SwapCase<Case> cases[] = {
      {Case::stale_probes, 0, "new", " replace leftovers removed: left by an earlier run"},
      {Case::mount_in_stale_backup, 0, "new", " replace leftover kept: "},
      {Case::mount_in_old_version, 0, "new", " replace backup kept: error 16 (Device or resource busy) at \"lib/data\""},
      // A link to the user's own folder goes with the backup; what it leads to stays.
      {Case::link_in_old_version, 0, "new", " replace backup removed\n"},
      {Case::copy_of_a_fifo, 255, "old",
       " replace not done: copy the new version beside the target failed: \"lib/fifo\", error 22 "},
      {Case::truncated_journal, 0, "new", " replace journal unreadable: "},
      {Case::session_end_in_trial, 0, "v3", " replace backup removed: the update of "},
      // A logout's hang-up, as a terminal or a login session sends it, is the session's end too.
      {Case::hang_up_in_trial, 0, "v3", " replace backup removed: the update of "},
      // Ended during the trial, and --with unpacked anew meanwhile: the old version back,
      // the unaccepted new one kept aside, then this run's update.
      {Case::ended_in_trial_with_taken, 0, "newer", "; its new version is kept at "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.what));
    TempDir dir;
    const std::string target = dir.file("apps/Example");
    std::string with = dir.file("apps/Example-2");
    make_version(target, "old", dir.file("ran"));
    make_version(with, "new", dir.file("ran"));
    const std::string mounted = dir.file("user-data");
    make_version(mounted, "user's", dir.file("ran"));
    std::string mount_point;
    if (c.what == Case::stale_probes) {
      test::write_file(target + ".relauncher-check", "");
      test::write_file(target + ".relauncher-check-4242-1", "");
    } else if (c.what == Case::mount_in_stale_backup || c.what == Case::mount_in_old_version) {
      const std::string holder = c.what == Case::mount_in_old_version ? target : target + ".relauncher-old";
      make_version(holder, "older", dir.file("ran"));
      mount_point = holder + "/lib/data";
      (void)mkdir(mount_point.c_str(), 0755);
      if (std::system(("mount --bind '" + mounted + "' '" + mount_point + "' 2>/dev/null").c_str()) != 0) {
        std::cout << "skipped a mount inside a version: this machine lets the test mount nothing\n";
        continue;
      }
    } else if (c.what == Case::link_in_old_version) {
      ASSERT_EQ(symlink(mounted.c_str(), (target + "/lib/data").c_str()), 0);
    } else if (c.what == Case::copy_of_a_fifo) {
      with = dir.file("incoming/Example-2");
      make_version(with, "new", dir.file("ran"));
      ASSERT_EQ(mkfifo((with + "/lib/fifo").c_str(), 0644), 0);
    } else if (c.what == Case::truncated_journal) {
      test::write_file(target + ".relauncher-journal", "relauncher-journal=1\npid=12\nphase=tr");
    }
    std::vector<std::string> line = {"--log", dir.file("log"), "--wait-pid", test::absent_pid(),
                                     "--replace", target, "--with", with};
    test::ToolRun run;
    const bool session_ends = c.what == Case::session_end_in_trial || c.what == Case::hang_up_in_trial;
    if (session_ends) {
      // Told that the session ends during the trial, and ended as soon as it logs that the
      // trial passed: the next run (to v3) finds the update accepted, and restores nothing.
      test::write_file(with + "/app", "#!/bin/sh\nsleep 5\n", 0755);
      line.insert(line.end(), {"--relaunch", target + "/app", "--trial", "10"});
      const pid_t first =
          test::start_tool(line, test::with_file_seam("RELAUNCHER_TEST_END_AFTER_WRITING", " trial passed "));
      ASSERT_TRUE(test::wait_for_text(dir.file("log"), " relaunch pid="));
      kill(first, c.what == Case::hang_up_in_trial ? SIGHUP : SIGTERM);
      EXPECT_EQ(test::finish(first), 128 + SIGKILL);
      make_version(dir.file("apps/Example-3"), "v3", dir.file("ran"));
      line = {"--log", dir.file("log"), "--wait-pid", test::absent_pid(), "--replace", target,
              "--with", dir.file("apps/Example-3")};
    }
    if (c.what == Case::ended_in_trial_with_taken) {
      line.insert(line.end(), {"--relaunch", target + "/app", "--trial", "10"});
      const test::ToolRun ended =
          test::run_tool(line, test::with_file_seam("RELAUNCHER_TEST_END_AFTER_WRITING", " relaunch pid="));
      EXPECT_EQ(ended.exit_code, 128 + SIGKILL);
      make_version(with, "newer", dir.file("ran"));
    }
    run = test::run_tool(line);
    const std::string logged = test::read_file(dir.file("log")).value_or("");
    EXPECT_EQ(run.exit_code, c.exit_code) << logged;
    EXPECT_TRUE(contains(logged, c.logged)) << logged;
    EXPECT_EQ(version_at(target), c.target_after) << logged;
    if (!mount_point.empty()) {
      // The mounted file system stands untouched (checked below), inside what was set aside.
      const std::vector<std::string> kept = test::siblings_in(dir.file("apps"));
      ASSERT_EQ(kept.size(), 1u) << logged;
      EXPECT_TRUE(contains(kept[0], ".relauncher-done-")) << kept[0];
      EXPECT_TRUE(contains(logged, kept[0])) << logged;
      (void)std::system(("umount -l '" + kept[0] + "/lib/data'").c_str());
    } else if (c.what == Case::truncated_journal || c.what == Case::ended_in_trial_with_taken) {
      const std::vector<std::string> kept = test::siblings_in(dir.file("apps"));
      ASSERT_EQ(kept.size(), 1u) << logged;
      const bool journal = c.what == Case::truncated_journal;
      EXPECT_TRUE(contains(kept[0], journal ? ".relauncher-journal-" : ".relauncher-new-")) << kept[0];
      EXPECT_EQ(journal ? "new" : version_at(kept[0]), "new") << logged;
    } else {
      EXPECT_EQ(test::siblings_in(dir.file("apps")), std::vector<std::string>()) << logged;
    }
    // What the user keeps outside the versions is never deleted with them.
    EXPECT_EQ(version_at(mounted), "user's") << logged;
    EXPECT_EQ(test::read_file(mounted + "/lib/deep/data.txt").value_or("").size(), 70000u);
    if (session_ends) {
      EXPECT_FALSE(contains(logged, " replace restored")) << logged;
      EXPECT_FALSE(exists(with)) << logged;  // the accepted update's new version stayed in
    }
  }
}

// A verified new file: the bytes that land at the target are the verified ones, whatever
// is done to the --with file after the check; one that no longer matches swaps nothing.
TEST(Replace, AVerifiedNewFileLandsAsVerified) {
  for (const bool changed_before : {false, true}) {
    SCOPED_TRACE(changed_before);
    TempDir dir;
    const std::string target = dir.file("Example.AppImage");
    const std::string with = dir.file("Example-2.AppImage");
    test::write_file(target, "old", 0750);
    test::write_file(with, "verified", 0644);
    const std::string digest = test::sha256sum(with);
    ASSERT_EQ(digest.size(), 64u);
    if (changed_before) {
      test::write_file(with, "tampered", 0644);
    }
    const std::string app = test::copy_probe(dir, "app");
    const pid_t running = test::start_probe(app, 500);
    ASSERT_TRUE(test::wait_until_started(app));
    const pid_t tool = test::start_tool({"--log", dir.file("log"), "--wait-pid", std::to_string(running),
                                         "--sha256", digest + ":" + with, "--replace", target,
                                         "--with", with});
    ASSERT_TRUE(test::wait_for_text(dir.file("log"), " verify "));
    test::write_file(dir.file("planted"), "planted", 0755);
    ASSERT_EQ(rename(dir.file("planted").c_str(), with.c_str()), 0);
    EXPECT_EQ(test::finish(tool), changed_before ? 255 : 0);
    test::finish(running);
    const std::string logged = test::read_file(dir.file("log")).value_or("");
    EXPECT_EQ(test::read_file(target).value_or(""), changed_before ? "old" : "verified") << logged;
    // The old file's mode: the AppImage stays executable, and no more than it was.
    struct stat info {};
    ASSERT_EQ(stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0750u);
  }
}

TEST(Replace, UnusableLinesMoveAndStartNothing) {
  TempDir dir;
  const std::string target = dir.file("apps/Example");
  const std::string with = dir.file("apps/Example-2");
  make_version(target, "old", dir.file("ran"));
  make_version(with, "new", dir.file("ran"));
  test::write_file(dir.file("apps/file"), "a file");
  (void)symlink(target.c_str(), dir.file("apps/link").c_str());
  (void)symlink("/etc/passwd", dir.file("apps/file-link").c_str());
  // A name that leaves no room for the longest sibling's suffix.
  const std::string long_name = dir.file("apps/" + std::string(240, 'n'));
  make_version(long_name, "old", dir.file("ran"));
  // relauncher itself, run from a copy inside the version it would move.
  const std::string inside = target + "/lib/relauncher";
  test::write_file(inside, test::read_file(test::tool_path()).value_or(""), 0755);
  const std::string pid = test::absent_pid();
  const struct {
    std::vector<std::string> options;
    const char* reason;
  } cases[] = {
      {{"--replace", target}, "a --replace without --with, or a --with without --replace"},
      {{"--with", with}, "a --replace without --with, or a --with without --replace"},
      {{"--replace", target, "--with", with, "--replace", target}, "--replace or --with given twice"},
      {{"--replace", target, "--with", dir.file("apps/file")}, "a --replace and a --with of different kinds"},
      {{"--replace", target, "--with", target + "/sub"}, "the same or inside one another"},
      {{"--replace", dir.file("apps/link"), "--with", with}, "a --replace that is a link"},
      {{"--replace", target, "--with", dir.file("apps/link")}, "a --with that is a link"},
      {{"--replace", dir.file("apps/file"), "--with", dir.file("apps/file-link")}, "a --with that is a link"},
      {{"--replace", "/", "--with", with}, "--replace \"/\" is not a folder of its own"},
      {{"--replace", target, "--with", target + ".relauncher-new-77-1"}, "named like relauncher's own siblings"},
      {{"--replace", target, "--with", target + ".relauncher-old"}, "named like relauncher's own siblings"},
      {{"--replace", target, "--with", target + ".relauncher-done"}, "named like relauncher's own siblings"},
      {{"--replace", long_name, "--with", with}, "a path has a component longer than 255 bytes"},
      {{"--replace", target, "--with", with}, "relauncher runs from inside the --replace or --with folder"},
      {{"--replace", "/opt", "--with", with}, "--replace \"/opt\" is not a folder of its own"},
      {{"--replace", target, "--with", with, "--trial", "5"}, "a --trial without --replace and --relaunch"},
      {{"--replace", target, "--with", with, "--relaunch", target + "/app", "--trial", "601"},
       "or not whole seconds from 1 to 600"},
      {{"--replace", target, "--with", with, "--relaunch", target + "/app", "--trial", "0"},
       "or not whole seconds from 1 to 600"},
      {{"--log", target + "/update.log", "--replace", target, "--with", with}, "a --log inside --replace or --with"},
      {{"--sha256", std::string(64, '0') + ":" + with + "/app", "--replace", target, "--with", with},
       "a --sha256 file inside a --with folder"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    unlink(dir.file("log").c_str());
    std::vector<std::string> line = {"--log", dir.file("log"), "--wait-pid", pid};
    line.insert(line.end(), c.options.begin(), c.options.end());
    const test::ToolRun run = test::run_tool(line, {}, contains(c.reason, "runs from inside") ? inside : "");
    EXPECT_EQ(run.exit_code, 2);
    // The last --log counts: the one inside the target, in that row.
    const std::string log = contains(c.reason, "--log inside") ? target + "/update.log" : dir.file("log");
    const std::string logged = test::read_file(log).value_or("");
    EXPECT_TRUE(contains(logged, " usage ") && contains(logged, c.reason)) << logged;
    unlink((target + "/update.log").c_str());
    EXPECT_EQ(version_at(target), "old");
    EXPECT_EQ(version_at(with), "new");
  }
}

}  // namespace

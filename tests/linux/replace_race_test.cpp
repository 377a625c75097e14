// Runs of relauncher on one target take turns: a run started by the new version during
// its trial (an application that looks for updates as it starts) swaps only once that
// trial has ended, two runs at once each leave a whole version, and nothing relauncher
// starts holds the target's lock.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "versions.h"

namespace {

using test::TempDir;

std::string version_at(const std::string& folder) {
  return test::read_file(folder + "/version.txt").value_or("(none)");
}

TEST(ReplaceRace, ASecondRunDuringATrialSwapsOnlyOnceTheTrialHasEnded) {
  TempDir dir;
  const std::string target = dir.file("apps/Example");
  test::make_version(target, "v1", dir.file("ran"));
  test::make_version(dir.file("apps/Example-3"), "v3", dir.file("ran"));
  test::make_version(dir.file("apps/Example-2"), "v2", dir.file("ran"));
  // v2 starts the update to v3 as it starts, then crashes within its trial.
  test::write_file(dir.file("apps/Example-2/app"),
                   "#!/bin/sh\necho \"v2 $RELAUNCHER_OUTCOME\" >> '" + dir.file("ran") + "'\n" +
                       "setsid '" + test::tool_path() + "' --log '" + dir.file("log2") +
                       "' --wait-pid $$ --relaunch-on-failure --replace '" + target + "' --with '" +
                       dir.file("apps/Example-3") + "' --relaunch '" + target + "/app' &\n" +
                       "sleep 0.5\nexit 3\n",
                   0755);
  const test::ToolRun first = test::run_tool(
      {"--log", dir.file("log"), "--wait-pid", test::absent_pid(), "--replace", target, "--with",
       dir.file("apps/Example-2"), "--relaunch", target + "/app", "--trial", "10"});
  ASSERT_TRUE(test::wait_for_text(dir.file("log2"), " end code=", 20000));
  const std::string logged = test::read_file(dir.file("log")).value_or("") +
                             test::read_file(dir.file("log2")).value_or("");
  EXPECT_EQ(first.exit_code, 255) << logged;
  EXPECT_TRUE(test::contains(logged, " trial failed code=3 ")) << logged;
  EXPECT_TRUE(test::contains(logged, " wait another run swaps \"" + target +
                                         "\": pid=" + std::to_string(first.pid)))
      << logged;
  // The first run's roll-back, then the second run's update over the old version.
  EXPECT_EQ(version_at(target), "v3") << logged;
  EXPECT_EQ(version_at(dir.file("apps/Example-2")), "v2") << logged;
  EXPECT_EQ(test::siblings_in(dir.file("apps")), std::vector<std::string>()) << logged;
  test::records(dir.file("ran"), 3);
}

TEST(ReplaceRace, TwoRunsAtOnceEachLeaveAWholeVersionAndNoSibling) {
  TempDir dir;
  const std::string target = dir.file("apps/Example");
  test::make_version(target, "v1", dir.file("ran"));
  std::vector<pid_t> runs;
  for (const char* version : {"v2", "v3"}) {
    const std::string with = dir.file(std::string("apps/Example-") + version);
    test::make_version(with, version, dir.file("ran"));
    runs.push_back(test::start_tool({"--log", dir.file("log"), "--wait-pid", test::absent_pid(),
                                     "--replace", target, "--with", with}));
  }
  for (const pid_t run : runs) {
    EXPECT_EQ(test::finish(run), 0);
  }
  const std::string logged = test::read_file(dir.file("log")).value_or("");
  const std::string standing = version_at(target);
  EXPECT_TRUE(standing == "v2" || standing == "v3") << logged;
  EXPECT_EQ(test::siblings_in(dir.file("apps")), std::vector<std::string>()) << logged;
}

TEST(ReplaceRace, NeitherTheProgramNorTheRelaunchHoldsTheLock) {
  TempDir dir;
  const std::string target = dir.file("apps/Example");
  test::make_version(target, "old", dir.file("ran"));
  test::make_version(dir.file("apps/Example-2"), "new", dir.file("ran"));
  // Each lists its descriptors; the relaunch runs on past the trial, while relauncher holds
  // the lock.
  const auto lists = [&](const char* into) {
    return "#!/bin/sh\nls -l /proc/$$/fd > '" + dir.file(into) + "'\n";
  };
  test::write_file(dir.file("apps/Example-2/app"), lists("relaunch-fds") + "sleep 3\n", 0755);
  test::write_file(dir.file("register.sh"), lists("program-fds"), 0755);
  const test::ToolRun run = test::run_tool(
      {"--log", dir.file("log"), "--wait-pid", test::absent_pid(), "--replace", target, "--with",
       dir.file("apps/Example-2"), "--relaunch", target + "/app", "--trial", "1", "--",
       dir.file("register.sh")});
  EXPECT_EQ(run.exit_code, 0);
  for (const char* listing : {"program-fds", "relaunch-fds"}) {
    ASSERT_TRUE(test::wait_for_text(dir.file(listing), "total", 5000)) << listing;
    const std::string fds = test::read_file(dir.file(listing)).value_or("");
    EXPECT_GT(test::lines_of(fds).size(), 3u) << fds;  // the listing shows descriptors
    EXPECT_FALSE(test::contains(fds, ".relauncher-lock")) << fds;
  }
}

}  // namespace

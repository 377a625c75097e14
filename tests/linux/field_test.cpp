// The application's folders and the installer's whole tree on Linux, driven end to end:
// copies of the probe placed in folders stand in for an application's helpers, an
// installer's daemons and the relaunched application.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "support.h"

namespace {

using test::TempDir;

const char* const broad = "\" is not a folder of its own";

// A probe at `relative` inside `dir`, its folders made first.
std::string probe_at(const TempDir& dir, const std::string& relative) {
  const std::size_t slash = relative.find_last_of('/');
  if (slash != std::string::npos) {
    (void)std::system(("mkdir -p '" + dir.path() + "/" + relative.substr(0, slash) + "'").c_str());
  }
  return test::copy_probe(dir, relative);
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The processor time of the children waited for so far, user and system, in ms.
long processor_ms_of_children() {
  struct rusage usage {};
  (void)getrusage(RUSAGE_CHILDREN, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

TEST(Folder, TheProgramWaitsForWhatRunsFromTheApplicationsFolders) {
  const struct {
    const char* helper;  // where it runs from
    const char* folder;  // what --wait-folder names
    bool waited;
    bool replaced;  // its file deleted and written anew while it runs
    bool restarts;  // it starts itself once more just before it ends
    bool outlived;  // another helper runs on after it has ended
  } cases[] = {
      {"app/helper", "app", true, false, false, false},
      {"app/sub/helper", "app", true, false, false, false},
      {"app2/helper", "app", false, false, false, false},
      {"App/helper", "app", false, false, false, false},
      {"app/helper", "link", true, false, false, false},  // "link" is a symbolic link to "app"
      {"app/helper", "app/../app/.", true, true, false, false},
      {"app/helper", "app", true, false, true, false},
      {"app/helper", "app", true, false, false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.helper) + " " + c.folder);
    TempDir dir;
    const std::string helper = probe_at(dir, c.helper);
    const std::string setup = test::copy_probe(dir, "setup");
    (void)mkdir(dir.file("app").c_str(), 0755);
    ASSERT_EQ(symlink(dir.file("app").c_str(), dir.file("link").c_str()), 0);
    test::set_probe(helper, "THEN", c.restarts ? helper : "");
    const pid_t running = test::start_probe(helper, 1000);
    ASSERT_TRUE(test::wait_until_started(helper));
    const std::string other = probe_at(dir, "app/other");
    const pid_t outliving = c.outlived ? test::start_probe(other, 2500) : 0;
    ASSERT_TRUE(!c.outlived || test::wait_until_started(other));
    if (c.replaced) {
      ASSERT_EQ(unlink(helper.c_str()), 0);
      test::copy_probe(dir, c.helper);
    }
    const long processor_before = processor_ms_of_children();
    const test::ToolRun run = test::run_tool(
        {"--log", dir.file("log"), "--wait-pid", test::absent_pid(), "--wait-folder",
         dir.file(c.folder), "--", setup});
    EXPECT_EQ(run.exit_code, 0) << run.error_output;
    // Waiting costs the processor next to nothing, also once one of two has ended.
    EXPECT_LT(processor_ms_of_children() - processor_before, 300);
    test::finish(running);
    if (outliving != 0) {
      test::finish(outliving);
    }
    test::pause_for_ms(c.restarts ? 1500 : 0);  // until the second one has ended too
    const auto started = test::probe_started(setup);
    const auto helper_ended = test::probe_ended(helper);
    ASSERT_TRUE(started && helper_ended);
    EXPECT_EQ(started->start >= *helper_ended, c.waited)
        << test::read_file(dir.file("log")).value_or("");
    test::set_probe(helper, "THEN", "");
  }
}

// The pidfds a process holds: one for each process it has met and holds.
int pidfds_held_by(pid_t pid) {
  int count = 0;
  for (int fd = 0; fd < 1024; ++fd) {
    char target[64] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    count += readlink(link.c_str(), target, sizeof(target) - 1) > 0 && std::string(target) == "anon_inode:[pidfd]";
  }
  return count;
}

TEST(Folder, SeventyHelpersAndAToolRunFromInsideTheFolder) {
  TempDir dir;
  // One name each (hard links of one probe), so that each helper tells that it runs; each
  // runs until the test lets it go.
  const std::string first = probe_at(dir, "app/helper0");
  const std::string go = dir.file("go");
  std::vector<std::string> names = {first};
  for (int i = 1; i < 70; ++i) {
    names.push_back(dir.file("app/helper" + std::to_string(i)));
    ASSERT_EQ(link(first.c_str(), names.back().c_str()), 0);
  }
  const std::string tool = dir.file("app/relauncher");
  test::write_file(tool, test::read_file(test::tool_path()).value_or(""), 0755);
  const std::string setup = test::copy_probe(dir, "setup");
  std::vector<pid_t> helpers;
  for (const std::string& name : names) {
    test::set_probe(name, "UNTIL", go);
    helpers.push_back(test::start_probe(name, 0));
  }
  // relauncher starts only once every helper has told that it runs, and the helpers end
  // only once relauncher holds every one of them, however busy the machine is.
  for (const std::string& name : names) {
    ASSERT_TRUE(test::wait_until_started(name, 60000)) << name;
  }
  const pid_t run = test::start_tool({"--log", dir.file("log"), "--wait-pid", test::absent_pid(),
                                      "--wait-folder", dir.file("app"), "--", setup},
                                     {}, tool);
  for (int waited = 0; pidfds_held_by(run) < 70 && waited < 60000; waited += 20) {
    test::pause_for_ms(20);
  }
  test::write_file(go, "");
  EXPECT_EQ(test::finish(run), 0);
  for (std::size_t i = 0; i < helpers.size(); ++i) {
    test::finish(helpers[i]);
    test::set_probe(names[i], "UNTIL", "");
    test::set_probe(names[i], "SLEEP_MS", "");
  }
  const std::string log = test::read_file(dir.file("log")).value_or("");
  // At least the 70: a sanitizer's leak check at a helper's exit runs as one more
  // process of the helper's own executable.
  const std::size_t count = log.find(" processes=");
  ASSERT_NE(count, std::string::npos) << log;
  EXPECT_GE(std::atoi(log.c_str() + count + 11), 70) << log;
  const auto started = test::probe_started(setup);
  ASSERT_TRUE(started);
  for (const std::string& name : names) {
    EXPECT_GE(started->start, test::probe_ended(name).value_or(0)) << name;
  }
}

TEST(Folder, BroadFoldersAreRefusedAndAnApplicationsOwnAccepted) {
  TempDir dir;
  const std::string setup = test::copy_probe(dir, "setup");
  ASSERT_EQ(symlink("/usr/bin", dir.file("bin").c_str()), 0);
  // The tool's home folder, reached through a link, and its temporary folder.
  const std::string home = dir.file("home");
  const std::string home_link = dir.file("home-link");
  const std::string tmpdir = dir.file("tmp");
  (void)mkdir(home.c_str(), 0755);
  (void)mkdir(tmpdir.c_str(), 0755);
  ASSERT_EQ(symlink(home.c_str(), home_link.c_str()), 0);
  const struct {
    std::string folder;
    bool usable;
  } cases[] = {
      {"/", false},          {"/sbin", false},         {"/usr/libexec", false},
      {"/usr/bin", false},   {"/usr", false},          {"/usr/lib", false},
      {"/var/lib/x", false}, {"/opt", false},          {"/home", false},
      {"/tmp", false},       {home, false},            {home + "/.local/bin", false},
      {"/tmp/..", false},    {dir.file("bin"), false}, {"/opt/App", true},
      {"/usr/lib/app", true}, {"/usr/local/lib/app", true},
      {home_link, false},    {home_link + "/.config", false}, {home + "/.config", false},
      {tmpdir, false},       {tmpdir + "/app", true},  {home + "/apps/app", true},
      // Open inside, not themselves (and not merely because /lib is /usr/lib).
      {"/usr/share", false}, {"/usr/local/lib", false}, {"/usr/local/share", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const test::ToolRun run = test::run_tool({"--log", dir.file("log"), "--wait-pid",
                                              test::absent_pid(), "--wait-folder", c.folder,
                                              "--", setup},
                                             [&] {
                                               setenv("HOME", home_link.c_str(), 1);
                                               setenv("TMPDIR", tmpdir.c_str(), 1);
                                             });
    EXPECT_EQ(run.exit_code, c.usable ? 0 : 2);
    const std::string log = test::read_file(dir.file("log")).value_or("");
    EXPECT_EQ(contains(log, " usage --wait-folder \"" + c.folder + broad), !c.usable) << log;
    unlink(dir.file("log").c_str());
  }
}

// Other processes of a folder that time has run out on: ended through their pidfds
// (the tool may not call kill at all), only in a folder that holds the application,
// only once the application has ended, and only the tool's own user's.
TEST(Folder, EndsOnlyWhatItMayOnceTimeRunsOut) {
  const struct {
    const char* name;
    bool ignores_term;
    bool application_stays;
    bool other_user;
    int exit_code;
    int helper_end;  // as a shell reports it; 0: still running
    const char* logged;
    long refused = SYS_kill;  // a system call the tool may not make
    const char* folder = "app";  // where the helper runs from, waited for beside app
    const char* term_ms = "";    // how long it takes to save after SIGTERM
    const char* exit = "";       // its exit code once it has saved
  } cases[] = {
      {"quits on SIGTERM", false, false, false, 0, 128 + SIGTERM, " ended 1"},
      {"ignores SIGTERM", true, false, false, 0, 128 + SIGKILL, " ended 1"},
      {"application running", false, true, false, 255, 0, " still running after 1 s"},
      {"another user's", false, false, true, 255, 0, ": another user's"},
      // No pidfds: polled, and nothing ended, since a signal by id could reach another.
      {"no pidfds", false, false, false, 255, 0, " gave up, nothing ended: no pidfd could be had", SYS_pidfd_open},
      // Saving takes a while after SIGTERM: no SIGKILL before 3 s, so it ends by itself.
      {"saves for 1.5 s", false, false, false, 0, 3, " ended 1", SYS_kill, "app", "1500", "3"},
      // A folder that holds neither the application nor its relaunch: waited for only.
      {"holds neither", false, false, false, 255, 0,
       "\" holds neither the application nor the --wait-pid process: waited for, never ended", SYS_kill, "other"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string helper = probe_at(dir, std::string(c.folder) + "/helper");
    const std::string application = probe_at(dir, "app/application");
    const std::string setup = test::copy_probe(dir, "setup");
    test::set_probe(helper, "IGNORE_TERM", c.ignores_term ? "1" : "");
    test::set_probe(helper, "SLEEP_MS", "20000");
    test::set_probe(helper, "TERM_MS", c.term_ms);
    test::set_probe(helper, "EXIT", c.exit);
    const pid_t running = fork();
    if (running == 0) {
      // Another user's process: its real user is nobody (65534). Only the real user
      // changes, so that it still reads its files wherever the test's folder is.
      if (c.other_user && setresuid(65534, 0, 0) != 0) {
        _exit(126);
      }
      execl(helper.c_str(), helper.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    const pid_t app = test::start_probe(application, c.application_stays ? 5000 : 0);
    test::pause_for_ms(300);
    // Updaters replace files: the helper's executable now reads "<path> (deleted)".
    ASSERT_EQ(unlink(helper.c_str()), 0);
    test::copy_probe(dir, std::string(c.folder) + "/helper");
    const test::ToolRun run = test::run_tool(
        {"--log", dir.file("log"), "--wait-pid", std::to_string(app), "--wait-timeout", "1",
         "--wait-folder", dir.file("app"), "--wait-folder", dir.file("other"),
         "--end-folder-processes", "--relaunch", application, "--", setup},
        [&] { test::refuse_system_call(c.refused, EPERM); });
    EXPECT_EQ(run.exit_code, c.exit_code);
    const std::string log = test::read_file(dir.file("log")).value_or("");
    EXPECT_TRUE(contains(log, c.logged)) << log;
    const std::string named = " pid=" + std::to_string(running) + " image=\"" + helper + "\"";
    EXPECT_EQ(contains(log, named), !c.application_stays);
    if (c.helper_end == 0) {
      EXPECT_EQ(kill(running, 0), 0) << "the helper was ended";
      kill(running, SIGKILL);
    }
    const int helper_end = test::finish(running);
    EXPECT_EQ(helper_end, c.helper_end == 0 ? 128 + SIGKILL : c.helper_end);
    kill(app, SIGKILL);
    test::finish(app);
  }
  for (const char* key : {"IGNORE_TERM", "SLEEP_MS", "TERM_MS", "EXIT"}) {
    test::set_probe("helper", key, "");
  }
}

TEST(Tree, TheInstallersDaemonsAreWaitedForAndTheApplicationItStartsKept) {
  const struct {
    const char* then;  // what the installer leaves running as a daemon
    bool relaunched;   // by the tool
    bool waited;       // the relaunch comes only once it has ended
    const char* logged;
  } cases[] = {
      {"daemon", true, true, " waited_for=tree"},
      // Its /proc/<pid>/stat reads "(svc) x) S ...": split at the last ")".
      {"svc) x", true, true, " waited_for=tree"},
      // A helper of the application's own folder that the installer started: the
      // application's, not the installer's.
      {"app/helper", true, false, " waited_for=tree"},
      {"app/application", false, false, "already running (pid "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.then);
    TempDir dir;
    const std::string setup = test::copy_probe(dir, "setup");
    const std::string daemon = probe_at(dir, c.then);
    const std::string application = probe_at(dir, "app/application");
    test::set_probe(setup, "THEN", dir.file(c.then));
    test::set_probe(setup, "EXIT", "5");
    // The application's own helper runs well past the relaunch, which must not wait for it.
    test::set_probe(daemon, "SLEEP_MS", c.waited || c.relaunched == false ? "1000" : "4000");
    test::set_probe(application, "SLEEP_MS", "1500");
    const test::ToolRun run = test::run_tool(
        {"--log", dir.file("log"), "--wait-pid", test::absent_pid(), "--wait-tree",
         "--relaunch-on-failure", "--relaunch", application, "--wait-folder",
         dir.file("app"), "--", setup});
    EXPECT_EQ(run.exit_code, 5);
    const std::string log = test::read_file(dir.file("log")).value_or("");
    EXPECT_TRUE(contains(log, c.logged)) << log;
    const auto relaunched = test::wait_until_started(application, 2000);
    ASSERT_TRUE(relaunched);
    // The tool's relaunch is told the outcome; the installer's own start is not.
    EXPECT_EQ(relaunched->outcome, c.relaunched ? "failed" : "unset");
    EXPECT_EQ(relaunched->outcome_exit_code, c.relaunched ? "5" : "unset");
    if (c.relaunched) {
      // The relaunch came once the daemon had ended, after the installer; not so for
      // the application's own helper.
      const auto daemon_ended = test::probe_ended(daemon);
      EXPECT_EQ(daemon_ended && relaunched->start >= *daemon_ended, c.waited) << log;
    }
    test::pause_for_ms(1600);  // one instance: none started after the installer's
    EXPECT_EQ(test::probe_started(application)->pid, relaunched->pid);
    test::set_probe(setup, "THEN", "");
    test::set_probe(setup, "EXIT", "");
    test::set_probe(daemon, "SLEEP_MS", "");
  }
}

}  // namespace

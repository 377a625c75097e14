// The built relauncher on Linux, driven end to end: real processes, a real pidfd, real
// signals, and the same command line as on Windows.

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <regex>
#include <sstream>

#include "process/job_escape.h"
#include "support.h"

namespace {

using test::TempDir;

const char usage_tail[] = ": usage: --wait-pid <pid> [--relaunch <app>] -- <program> [args...]\n";

// The application, the installer and the application as relaunched, beside a log.
struct Layout {
  TempDir dir;
  std::string app = test::copy_probe(dir, "app");
  std::string setup = test::copy_probe(dir, "setup");
  std::string relaunched = test::copy_probe(dir, "relaunched");
  std::string log = dir.file("relauncher.log");
  void forget() {
    test::forget_records({app, setup, relaunched});
    unlink(log.c_str());
  }
  std::string logged() const { return test::read_file(log).value_or(""); }
};

TEST(Wait, StartsTheProgramOnlyOnceTheApplicationHasEnded) {
  Layout layout;
  const struct {
    int refused_with;  // pidfd_open fails with this (0: it works)
    const char* logged;
  } cases[] = {{0, " ended after_ms="}, {ENOSYS, " ended after_ms="}, {EPERM, " ended after_ms="}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refused_with);
    layout.forget();
    // Not reaped until the tool has run: a zombie once it ends, as an application whose
    // parent has not waited for it yet is. It has ended all the same.
    const pid_t app = test::start_probe(layout.app, 800);
    ASSERT_TRUE(test::wait_until_started(layout.app));
    const test::ToolRun run = test::run_tool(
        {"--log", layout.log, "--wait-pid", std::to_string(app), "--wait-timeout", "10", "--", layout.setup},
        [&] { if (c.refused_with != 0) test::refuse_system_call(SYS_pidfd_open, c.refused_with); });
    EXPECT_EQ(run.exit_code, 0);
    const auto started = test::probe_started(layout.setup);
    const auto ended = test::probe_ended(layout.app);
    ASSERT_TRUE(started && ended);
    EXPECT_GT(started->start, *ended) << "the program started before the application ended";
    const std::string logged = layout.logged();
    EXPECT_NE(logged.find(" wait pid=" + std::to_string(app) + c.logged), std::string::npos) << logged;
    EXPECT_EQ(logged.find(" polled (no pidfd, error ") != std::string::npos, c.refused_with != 0) << logged;
    test::finish(app);
  }
}

TEST(Wait, WaitsForNoProcessThatCannotBeTheApplication) {
  Layout layout;
  // The tool's own pid: a shell that becomes the tool passes its own.
  layout.forget();
  const pid_t shell = fork();
  if (shell == 0) {
    execl("/bin/sh", "sh", "-c", "exec \"$0\" --log \"$1\" --wait-pid $$ -- \"$2\"", test::tool_path().c_str(),
          layout.log.c_str(), layout.setup.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  EXPECT_EQ(test::finish(shell), 0);
  EXPECT_NE(layout.logged().find(" not waited for: the tool's own id"), std::string::npos) << layout.logged();

  // A process newer than the tool holds a freed id: the tool's process is made first,
  // and learns the pid only once the newer one exists. With pidfds, and polled without.
  for (const int refused_with : {0, ENOSYS}) {
    SCOPED_TRACE(refused_with);
    layout.forget();
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    const pid_t tool = fork();
    if (tool == 0) {
      if (refused_with != 0) {
        test::refuse_system_call(SYS_pidfd_open, refused_with);
      }
      close(pipe_ends[1]);
      char pid[32] = {};
      if (read(pipe_ends[0], pid, sizeof(pid) - 1) <= 0) {
        _exit(98);
      }
      execl(test::tool_path().c_str(), "relauncher", "--log", layout.log.c_str(), "--wait-pid", pid, "--",
            layout.setup.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(pipe_ends[0]);
    usleep(50000);  // the start times count in ticks of 10 ms
    const pid_t newer = test::start_probe(layout.app, 3000);
    const std::string newer_pid = std::to_string(newer);
    ASSERT_EQ(write(pipe_ends[1], newer_pid.data(), newer_pid.size()), static_cast<ssize_t>(newer_pid.size()));
    close(pipe_ends[1]);
    EXPECT_EQ(test::finish(tool), 0);
    EXPECT_FALSE(test::probe_ended(layout.app)) << "the tool waited for a process newer than itself";
    EXPECT_NE(layout.logged().find(" not waited for: started after relauncher"), std::string::npos) << layout.logged();
    kill(newer, SIGKILL);
    test::finish(newer);
  }

  // A pid the kernel never hands out: pid_max itself and above.
  const std::string pid_max = test::read_file("/proc/sys/kernel/pid_max").value_or("4194304\n");
  layout.forget();
  EXPECT_EQ(test::run_tool({"--log", layout.log, "--wait-pid", pid_max.substr(0, pid_max.find('\n')), "--",
                            layout.setup}).exit_code, 0);
  EXPECT_NE(layout.logged().find(" not waited for: above the system's highest process id"), std::string::npos)
      << layout.logged();

  // A pid that no process has.
  layout.forget();
  EXPECT_EQ(test::run_tool({"--log", layout.log, "--wait-pid", test::absent_pid(), "--", layout.setup}).exit_code, 0);
  EXPECT_NE(layout.logged().find(" not waited for: ended already or cannot be opened, error 3 "), std::string::npos)
      << layout.logged();
}

TEST(Run, ExitCodesAndFailedStartsReachTheCaller) {
  Layout layout;
  const std::string text = layout.dir.file("notes.txt");
  test::write_file(text, "not a program\n", 0644);
  const std::string planted = test::copy_probe(layout.dir, "setup-here");
  const struct {
    std::string program;
    const char* exit;    // PROBE_setup_EXIT
    const char* signal;  // PROBE_setup_SIGNAL
    int exit_code;
    const char* logged;
  } cases[] = {
      {layout.setup, "0", "", 0, " exit code=0 "},
      {layout.setup, "1", "", 1, " exit code=1 "},
      {layout.setup, "255", "", 255, " exit code=255 "},
      {layout.setup, "", "15", 143, " exit code=143 hex=0x0000008F signal=15 (SIGTERM) "},
      {layout.dir.file("missing"), "", "", 255, " run error 2 "},
      {text, "", "", 255, " run error 13 "},
      // "." and empty entries of PATH are the current folder: never searched.
      {"setup-here", "", "", 255, " run error 2 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    layout.forget();
    test::forget_records({planted});
    test::set_probe(layout.setup, "EXIT", c.exit);
    test::set_probe(layout.setup, "SIGNAL", c.signal);
    const test::ToolRun run = test::run_tool({"--log", layout.log, "--wait-pid", test::absent_pid(), "--", c.program}, [&] {
      (void)chdir(layout.dir.path().c_str());
      setenv("PATH", (std::string(".::") + getenv("PATH")).c_str(), 1);
    });
    EXPECT_EQ(run.exit_code, c.exit_code);
    const std::string logged = layout.logged();
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    EXPECT_NE(logged.find(" end code=" + std::to_string(c.exit_code) + " "), std::string::npos) << logged;
    EXPECT_FALSE(test::probe_started(planted)) << "a program in the current folder ran";
  }
  test::set_probe(layout.setup, "EXIT", "");
  test::set_probe(layout.setup, "SIGNAL", "");
}

TEST(Run, ArgumentsArriveExactly) {
  Layout layout;
  const std::vector<std::string> tables[] = {
      {},
      {""},
      {"a b", "\"quoted\"", "it's", "line\nbreak", "tab\there", "$HOME", "*", "--"},
      {"\xff\xfe not UTF-8", "\xc3\xbc", "", "\\", "--wait-pid"},
  };
  for (const std::vector<std::string>& arguments : tables) {
    for (const bool verbatim : {false, true}) {  // --verbatim changes nothing here
      SCOPED_TRACE(arguments.size());
      layout.forget();
      std::vector<std::string> line = {"--log", layout.log, "--wait-pid", test::absent_pid(), "--relaunch",
                                       layout.relaunched};
      for (const std::string& argument : arguments) {
        line.insert(line.end(), {"--relaunch-arg", argument});
      }
      if (verbatim) {
        line.push_back("--verbatim");
      }
      line.insert(line.end(), {"--", layout.setup});
      line.insert(line.end(), arguments.begin(), arguments.end());
      EXPECT_EQ(test::run_tool(line).exit_code, 0);
      const auto program = test::probe_started(layout.setup);
      const auto relaunch = test::wait_until_started(layout.relaunched);
      ASSERT_TRUE(program && relaunch);
      EXPECT_EQ(program->args, arguments);
      EXPECT_EQ(relaunch->args, arguments);
      // The log shows bytes that are not UTF-8 by their values, and breaks no line.
      const std::string logged = layout.logged();
      EXPECT_EQ(logged.find("'<0xFF><0xFE> not UTF-8'") != std::string::npos, arguments.size() == 5) << logged;
      EXPECT_EQ(logged.find('\xff'), std::string::npos);
      EXPECT_EQ(test::lines_of(logged).size(), 7u) << logged;
    }
  }
}

TEST(Run, NothingOfTheCallerReachesWhatItStartsAndTheRelaunchOutlivesIt) {
  Layout layout;
  test::set_probe(layout.relaunched, "SLEEP_MS", "3000");
  const int leaked = open("/dev/null", O_RDONLY);  // inheritable, as a careless caller leaves one
  const test::ToolRun run =
      test::run_tool({"--wait-pid", test::absent_pid(), "--relaunch", layout.relaunched, "--", layout.setup}, [] {
        setpgid(0, 0);  // a process group of its own, which the caller ends below
        signal(SIGINT, SIG_IGN);
        signal(SIGRTMIN + 2, SIG_IGN);  // above the classic 31, as some runtimes leave them
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGRTMIN + 2);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
      });
  close(leaked);
  EXPECT_EQ(run.exit_code, 0);
  kill(-run.pid, SIGKILL);
  const auto program = test::probe_started(layout.setup);
  const auto relaunch = test::wait_until_started(layout.relaunched);
  ASSERT_TRUE(program && relaunch);
  for (const auto& record : {*program, *relaunch}) {
    EXPECT_EQ(record.fds, "");
    // glibc's own two signals (32 and 33) stay ignored in every process it starts.
    EXPECT_EQ(std::stoull(record.ignored, nullptr, 16) & ~0x180000000ULL, 0u) << record.ignored;
    EXPECT_EQ(std::stoull(record.blocked, nullptr, 16), 0u) << record.blocked;
  }
  EXPECT_EQ(relaunch->sid, relaunch->pid) << "the relaunch is not in a session of its own";
  EXPECT_NE(program->sid, program->pid);
  usleep(500000);
  EXPECT_EQ(kill(relaunch->pid, 0), 0) << "the relaunch died with its caller's process group";
  EXPECT_FALSE(test::probe_ended(layout.relaunched));
  kill(relaunch->pid, SIGKILL);
  test::set_probe(layout.relaunched, "SLEEP_MS", "");
}

TEST(Outcome, TheRelaunchedApplicationIsToldHowTheUpdateWent) {
  Layout layout;
  const struct {
    std::vector<std::string> options;
    std::string program;
    const char* exit;
    int exit_code;
    bool relaunched;
    const char* outcome;
    const char* outcome_exit_code;
  } cases[] = {
      {{}, layout.setup, "0", 0, true, "unset", "unset"},
      {{}, layout.setup, "5", 5, false, "", ""},
      {{"--relaunch-on-failure"}, layout.setup, "5", 5, true, "failed", "5"},
      {{"--success-code", "3"}, layout.setup, "3", 3, true, "succeeded", "3"},
      // Linux exit codes stop at 255: a larger success code is accepted and never met.
      {{"--success-code", "300"}, layout.setup, "44", 44, false, "", ""},
      {{"--relaunch-on-failure"}, layout.dir.file("missing"), "", 255, true, "not-started", "unset"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.exit);
    layout.forget();
    test::set_probe(layout.setup, "EXIT", c.exit);
    std::vector<std::string> line = {"--wait-pid", test::absent_pid(), "--relaunch", layout.relaunched};
    line.insert(line.end(), c.options.begin(), c.options.end());
    line.insert(line.end(), {"--", c.program});
    EXPECT_EQ(test::run_tool(line).exit_code, c.exit_code);
    const auto relaunch = test::wait_until_started(layout.relaunched, c.relaunched ? 2000 : 300);
    ASSERT_EQ(relaunch.has_value(), c.relaunched);
    if (relaunch) {
      EXPECT_EQ(relaunch->outcome, c.outcome);
      EXPECT_EQ(relaunch->outcome_exit_code, c.outcome_exit_code);
    }
  }
  test::set_probe(layout.setup, "EXIT", "");

  // An application that outlives --wait-timeout: nothing starts, the outcome is unknown.
  layout.forget();
  const pid_t app = test::start_probe(layout.app, 3000);
  ASSERT_TRUE(test::wait_until_started(layout.app));
  const test::ToolRun run = test::run_tool({"--log", layout.log, "--wait-pid", std::to_string(app), "--wait-timeout",
                                            "1", "--relaunch", layout.relaunched, "--", layout.setup});
  EXPECT_EQ(run.exit_code, 255);
  EXPECT_FALSE(test::probe_started(layout.setup));
  EXPECT_NE(layout.logged().find(" still running after 1 s: gave up"), std::string::npos) << layout.logged();
  kill(app, SIGKILL);
  test::finish(app);
}

// A busy program is started again; the bound counts from its first exit, not its first
// start, so that a first run that took a while is still retried.
TEST(Retry, TheBoundCountsFromTheProgramsFirstExit) {
  Layout layout;
  const std::string busy = layout.dir.file("busy.sh");
  test::write_file(busy, "#!/bin/sh\n[ -e \"$1\" ] && exit 0\ntouch \"$1\"\nsleep 3\nexit 7\n", 0755);
  const struct {
    const char* retry_for;  // the first exit comes after 3 s, the retry 5 s after it
    int exit_code;
  } cases[] = {{"6", 0}, {"4", 7}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.retry_for);
    layout.forget();
    unlink(layout.dir.file("ran-once").c_str());
    EXPECT_EQ(test::run_tool({"--log", layout.log, "--wait-pid", test::absent_pid(), "--retry-code", "7",
                              "--retry-for", c.retry_for, "--", busy, layout.dir.file("ran-once")})
                  .exit_code,
              c.exit_code);
    EXPECT_EQ(layout.logged().find(" retry code=7 pause_s=5") != std::string::npos, c.exit_code == 0)
        << layout.logged();
  }
}

TEST(Options, OneCommandLineForEverySystem) {
  Layout layout;
  const std::string pid = test::absent_pid();
  const struct {
    std::vector<std::string> options;
    int exit_code;
    const char* logged;
  } cases[] = {
      {{"--verbatim"}, 0, " run pid="},
      {{"--progress", "Updating", "--hold-shutdown"}, 0, " progress not shown: no window on this system"},
      {{"--elevate"}, 2, " usage --elevate has no meaning on this system: run the program through pkexec"},
      {{"--wait-folder", "/opt/example"}, 0, " folder=\"/opt/example\" does not exist: nothing can run from it"},
      {{"--wait-tree"}, 0, " waited_for=tree"},
      // The longest component a Linux path holds, and one longer.
      {{"--wait-folder", "/opt/" + std::string(255, 'n')}, 0, " does not exist: nothing can run from it"},
      {{"--wait-folder", "/opt/" + std::string(256, 'n')}, 2,
       " usage a path has a component longer than 255 bytes or is longer than 4,095"},
      {{"--end-folder-processes", "--wait-timeout", "5"}, 0, " run pid="},
      {{"--end-folder-processes"}, 2, " usage --end-folder-processes needs --wait-timeout"},
      // A folder that does not exist is told only when the wait comes: a refused line
      // logs nothing but its start before its usage line.
      {{"--wait-folder", "/opt/example", "--wait-folder", "/"}, 2,
       " usage --wait-folder \"/\" is not a folder of its own"},
      {{"--wait-timeout", "0"}, 2, " usage --wait-timeout is not whole seconds from 1 to 86400"},
      {{"--hold-shutdown"}, 2, " usage --progress with no text, or --hold-shutdown without --progress"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options[0]);
    layout.forget();
    std::vector<std::string> line = {"--log", layout.log, "--wait-pid", pid};
    line.insert(line.end(), c.options.begin(), c.options.end());
    line.insert(line.end(), {"--", layout.setup});
    const test::ToolRun run = test::run_tool(line);
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.error_output, c.exit_code == 2 ? "relauncher" + std::string(usage_tail) : "");
    EXPECT_EQ(test::probe_started(layout.setup).has_value(), c.exit_code == 0);
    EXPECT_NE(layout.logged().find(c.logged), std::string::npos) << layout.logged();
    if (c.exit_code == 2) {
      EXPECT_EQ(test::lines_of(layout.logged()).size(), 3u) << layout.logged();  // start usage end
    }
  }
  for (const std::vector<std::string>& unusable :
       {std::vector<std::string>{}, {"--wait-pid", "5"}, {"--wait-pid", "x", "--", "p"}, {"--", "p"}}) {
    const test::ToolRun run = test::run_tool(unusable);
    EXPECT_EQ(run.exit_code, 2);
    EXPECT_EQ(run.error_output, "relauncher" + std::string(usage_tail));
  }
  // The usage line into a pipe whose reader is gone (`relauncher ... 2>&1 | head -0`):
  // still exit code 2, never a death by SIGPIPE.
  const test::ToolRun into_broken_pipe = test::run_tool({"--wait-pid", "5"}, [] {
    int ends[2];
    if (pipe(ends) == 0) {
      close(ends[0]);
      dup2(ends[1], 2);
    }
  });
  EXPECT_EQ(into_broken_pipe.exit_code, 2);
}

TEST(Log, ManyToolsAppendWholeLinesEndingInLineFeeds) {
  Layout layout;
  const std::string pid = test::absent_pid();
  std::vector<pid_t> tools;
  for (int i = 0; i < 20; ++i) {
    tools.push_back(test::start_tool({"--log", layout.log, "--wait-pid", pid, "--", layout.setup}));
  }
  for (const pid_t tool : tools) {
    EXPECT_EQ(test::finish(tool), 0);
  }
  const std::vector<std::string> lines = test::lines_of(layout.logged());
  EXPECT_EQ(lines.size(), 20u * 7);  // start job wait run exit relaunch end
  const std::regex whole(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \d+ (start|job|wait|run|exit|relaunch|end) [^\r]*)");
  for (const std::string& line : lines) {
    EXPECT_TRUE(std::regex_match(line, whole)) << line;
  }
}

TEST(Log, OnlyARegularFileIsALogAndNoneBlocks) {
  Layout layout;
  const std::string fifo = layout.dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const struct {
    const char* log;
    const char* pid;
    int exit_code;
  } cases[] = {
      {fifo.c_str(), "0", 2},  // a refused line, with no reader on the FIFO
      {fifo.c_str(), "", 0},
      {"/dev/stderr", "", 0},  // the caller's pipe: no log lines in it
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.log) + " " + c.pid);
    layout.forget();
    const std::string pid = *c.pid != '\0' ? c.pid : test::absent_pid();
    // A relauncher held up for ever is ended long before the suite's own timeout.
    const test::ToolRun run =
        test::run_tool({"--log", c.log, "--wait-pid", pid, "--", layout.setup}, [] { alarm(20); });
    EXPECT_EQ(run.exit_code, c.exit_code);
    EXPECT_EQ(run.error_output, c.exit_code == 2 ? "relauncher" + std::string(usage_tail) : "");
  }
}

// A lock that another process holds and never lets go: relauncher waits its second for
// it, drops the line, stays silent for the rest of the run and hands over all the same.
// And a log that names the program is never opened: lines appended to it would break it.
TEST(Log, ALockHeldElsewhereOrAProgramsFileNeverStopsTheHandOver) {
  Layout layout;
  test::write_file(layout.log, "");
  const int holder = open(layout.log.c_str(), O_RDWR);
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = off_t{1} << 62;  // where every writer locks: beyond any real end
  range.l_len = 1;
  // Taken by another process, since a process's own fcntl locks never stop it.
  const pid_t locker = fork();
  if (locker == 0) {
    if (fcntl(holder, F_SETLK, &range) != 0) {
      _exit(1);
    }
    pause();
    _exit(0);
  }
  for (int waited = 0; waited < 5000; waited += 20) {
    struct flock probe = range;
    if (fcntl(holder, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
      break;
    }
    test::pause_for_ms(20);
  }
  const test::ToolRun run =
      test::run_tool({"--log", layout.log, "--wait-pid", test::absent_pid(), "--", layout.setup});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_TRUE(test::probe_started(layout.setup));
  EXPECT_EQ(layout.logged(), "") << "written without the lock";
  kill(locker, SIGKILL);
  test::finish(locker);
  close(holder);

  const std::string program = test::read_file(layout.setup).value_or("");
  layout.forget();
  EXPECT_EQ(test::run_tool({"--log", layout.setup, "--wait-pid", test::absent_pid(), "--", layout.setup}).exit_code,
            0);
  EXPECT_EQ(test::read_file(layout.setup).value_or(""), program) << "the log was appended to the program";
}

// Inside a systemd service's control group, which ends every process of the service when
// it stops: relauncher says so. A cgroup v2 group of the test's own, where the machine lets
// it make one.
TEST(Service, AServicesProcessIsToldItMayBeEndedWithIt) {
  std::string hierarchy;
  std::istringstream mounts(test::read_file("/proc/self/mounts").value_or(""));
  for (std::string device, point, type, rest; mounts >> device >> point >> type && std::getline(mounts, rest);) {
    hierarchy = type == "cgroup2" ? point : hierarchy;
  }
  const std::string group = hierarchy + "/relauncher-test-" + std::to_string(getpid()) + ".service";
  if (hierarchy.empty() || mkdir(group.c_str(), 0755) != 0) {
    GTEST_SKIP() << "no cgroup v2 group can be made here (not root, or no cgroup2 mount)";
  }
  Layout layout;
  const std::string procs = group + "/cgroup.procs";
  const test::ToolRun run = test::run_tool(
      {"--log", layout.log, "--wait-pid", test::absent_pid(), "--", layout.setup}, [&] {
        const std::string pid = std::to_string(getpid());
        const int file = open(procs.c_str(), O_WRONLY);
        if (file < 0 || write(file, pid.data(), pid.size()) < 0) {
          _exit(97);
        }
        close(file);
      });
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_NE(layout.logged().find(" job stayed: the caller's service may end relauncher when it stops"),
            std::string::npos)
      << layout.logged();
  rmdir(group.c_str());
}

TEST(Service, TheControlGroupTellsAServicesProcess) {
  const struct {
    const char* cgroup;
    bool service;
  } cases[] = {
      {"0::/system.slice/example-updater.service\n", true},
      {"12:pids:/system.slice/cron.service\n11:memory:/system.slice/cron.service\n0::/system.slice/cron.service\n",
       true},
      {"0::/user.slice/user-1000.slice/user@1000.service/app.slice/app-org.example-1234.scope\n", false},
      {"0::/user.slice/user-1000.slice/session-2.scope\n", false},
      {"0::/\n", false},
      {"0::/.service\n", true},
      {"no colons here.service\n", false},
      {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(relauncher::cgroup_is_service(c.cgroup), c.service) << c.cgroup;
  }
}

}  // namespace

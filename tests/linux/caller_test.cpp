// What a caller leaves behind must not break the hand-over on Linux: its session and
// process group, its terminal, its signal dispositions and its standard streams.

#include <gtest/gtest.h>
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "support.h"
#include "versions.h"

namespace {

using test::TempDir;

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

struct Layout {
  TempDir dir;
  std::string setup = test::copy_probe(dir, "setup");
  std::string relaunched = test::copy_probe(dir, "relaunched");
  std::string log = dir.file("relauncher.log");
  std::string logged() const { return test::read_file(log).value_or(""); }
};

// The caller's shell in a terminal of its own: it starts relauncher in the background
// as an application would (no job control: the same process group) and ends, which
// hangs the terminal up.
pid_t start_in_terminal(const Layout& layout, int& terminal) {
  const pid_t shell = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (shell == 0) {
    execl("/bin/sh", "sh", "-c",
          "\"$0\" --log \"$1\" --wait-pid $$ --relaunch \"$2\" -- \"$3\" & sleep 0.3",
          test::tool_path().c_str(), layout.log.c_str(), layout.relaunched.c_str(),
          layout.setup.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  return shell;
}

TEST(Caller, TheHandOverOutlivesItsCallersSessionGroupAndTerminal) {
  const struct {
    const char* caller;
    bool leads_group;  // relauncher leads its process group, as job control makes it
    bool terminal;     // the caller's terminal closes instead of a signal to its group
    int signal;        // sent to the caller's process group once the installer runs
    const char* job;   // or nothing to leave
  } cases[] = {
      {"a launcher that ends the group", false, false, SIGTERM, " job left: the caller's session\n"},
      // Started as `setsid relauncher ...`: it leads a session of its own already.
      {"a session of its own", true, false, 0, nullptr},
      {"job control, then a hang-up", true, false, SIGHUP,
       " job left: the caller's session, through a copy (pid="},
      {"a terminal that closes", false, true, 0, " job left: the caller's session\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caller);
    Layout layout;
    test::set_probe(layout.setup, "SLEEP_MS", "1500");
    int terminal = -1;
    pid_t caller = 0;
    if (c.terminal) {
      caller = start_in_terminal(layout, terminal);
    } else {
      // The caller's process group: relauncher itself, or a parent that leads it.
      caller = test::start_tool(
          {"--log", layout.log, "--wait-pid", test::absent_pid(), "--relaunch", layout.relaunched,
           "--", layout.setup},
          [&] {
            if (c.job == nullptr) {
              setsid();
              return;
            }
            setpgid(0, 0);
            if (!c.leads_group) {
              const pid_t tool = fork();
              if (tool > 0) {
                _exit(test::finish(tool));
              }
            }
          });
    }
    ASSERT_TRUE(test::wait_until_started(layout.setup, 10000)) << layout.logged();
    if (c.signal != 0) {
      kill(-caller, c.signal);
    }
    test::finish(caller);
    if (terminal >= 0) {
      close(terminal);
    }
    const auto relaunch = test::wait_until_started(layout.relaunched, 10000);
    ASSERT_TRUE(relaunch) << "relauncher died with its caller\n" << layout.logged();
    EXPECT_TRUE(test::probe_ended(layout.setup)) << "the installer died with the caller";
    EXPECT_TRUE(c.job != nullptr ? contains(layout.logged(), c.job) : !contains(layout.logged(), " job "))
        << layout.logged();
    EXPECT_TRUE(contains(layout.logged(), " exit code=0 ")) << layout.logged();
    if (c.job != nullptr) {  // in a session of its own, relauncher is the caller
      EXPECT_NE(test::probe_started(layout.setup)->sid, caller);
    }
    test::set_probe(layout.setup, "SLEEP_MS", "");
  }
}

// A pipe whose reader has gone, as an application's output to a launcher or `| head`.
int broken_pipe() {
  int ends[2];
  if (pipe(ends) != 0) {
    return -1;
  }
  close(ends[0]);
  return ends[1];
}

TEST(Caller, WhatTheCallerLeftInheritableBreaksNeitherTheProgramNorItsExitCode) {
  Layout layout;
  const std::string output = layout.dir.file("output.txt");
  const struct {
    const char* caller;
    std::function<void()> in_child;
    const char* exit;   // the program's (PROBE_setup_EXIT)
    int exit_code;      // relauncher's
    const char* streams;  // what the program's 0, 1, 2 are
  } cases[] = {
      {"output into a pipe whose reader is gone",
       [] {
         const int pipe_end = broken_pipe();
         dup2(pipe_end, 1);
         dup2(pipe_end, 2);
       },
       "0", 0, "/dev/null,/dev/null,/dev/null"},
      {"output into a file, which the program shares",
       [&] {
         const int file = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
         dup2(file, 1);
       },
       "0", 0, nullptr},
      {"SIGCHLD ignored, as a daemon leaves it", [] { signal(SIGCHLD, SIG_IGN); }, "7", 7, nullptr},
      // A launcher's socket as output (its reader may go), a file as input, and a path
      // that claims to be verified: none of them reaches the program.
      {"input from a file, output into a socket, a verified path of its own",
       [&] {
         int ends[2];
         socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
         dup2(ends[0], 1);
         dup2(ends[0], 2);
         dup2(open(output.c_str(), O_RDONLY | O_CREAT, 0644), 0);
         setenv("RELAUNCHER_VERIFIED_PATH", "/etc/passwd", 1);
       },
       "0", 0, "/dev/null,/dev/null,/dev/null"},
      {"descriptors 0 to 2 closed",
       [] {
         close(0);
         close(1);
         close(2);
       },
       "0", 0, "/dev/null,/dev/null,/dev/null"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.caller);
    test::forget_records({layout.setup});
    test::set_probe(layout.setup, "EXIT", c.exit);
    test::set_probe(layout.setup, "WRITE", "1");
    const pid_t tool = test::start_tool(
        {"--log", layout.log, "--wait-pid", test::absent_pid(), "--", layout.setup}, c.in_child);
    EXPECT_EQ(test::finish(tool), c.exit_code) << layout.logged();
    const auto program = test::probe_started(layout.setup);
    ASSERT_TRUE(program) << layout.logged();
    EXPECT_TRUE(contains(layout.logged(), " exit code=" + std::string(c.exit) + " "))
        << layout.logged();
    if (c.streams != nullptr) {
      EXPECT_EQ(program->streams, c.streams);
    }
    EXPECT_EQ(program->verified_path, "unset");
  }
  EXPECT_EQ(test::read_file(output).value_or(""), "output\n");
  test::set_probe(layout.setup, "EXIT", "");
  test::set_probe(layout.setup, "WRITE", "");

  // The relaunched application writes to its output too: on /dev/null, even where the
  // program shares relauncher's file (it outlives relauncher, and writes into no caller's log).
  test::set_probe(layout.relaunched, "WRITE", "1");
  EXPECT_EQ(test::run_tool({"--wait-pid", test::absent_pid(), "--relaunch", layout.relaunched, "--",
                            layout.setup},
                           [&] {
                             const int file = open(output.c_str(), O_WRONLY | O_APPEND);
                             dup2(file, 1);
                             dup2(file, 2);
                           }).exit_code,
            0);
  const auto relaunch = test::wait_until_started(layout.relaunched);
  ASSERT_TRUE(relaunch);
  EXPECT_EQ(relaunch->streams, "/dev/null,/dev/null,/dev/null");
  for (int waited = 0; !test::probe_ended(layout.relaunched) && waited < 5000; waited += 20) {
    test::pause_for_ms(20);
  }
  EXPECT_TRUE(test::probe_ended(layout.relaunched)) << "the relaunch failed to write its output";
  test::set_probe(layout.relaunched, "WRITE", "");
}

TEST(Caller, AnOrphanedTreeLeavesNoZombiesWhileTheProgramRuns) {
  TempDir dir;
  const std::string mark = dir.file("orphaned");
  const std::string program = dir.file("orphans.sh");
  // Each subshell starts a child and ends at once: the child comes back to relauncher.
  test::write_file(program,
                   "#!/bin/sh\ni=0\nwhile [ $i -lt 200 ]; do (/bin/true &); i=$((i+1)); done\n"
                   "touch \"$1\"\nsleep 3\n",
                   0755);
  const pid_t tool = test::start_tool(
      {"--wait-pid", test::absent_pid(), "--wait-tree", "--", program, mark});
  const auto zombies = [tool] {
    int count = 0;
    std::string listing = test::read_file("/proc/" + std::to_string(tool) + "/task/" +
                                          std::to_string(tool) + "/children")
                              .value_or("");
    for (std::size_t at = 0; at < listing.size();) {
      const std::size_t end = listing.find(' ', at);
      const std::string pid = listing.substr(at, end - at);
      const std::string stat = test::read_file("/proc/" + pid + "/stat").value_or("");
      const std::size_t close = stat.rfind(')');
      count += close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
      at = end == std::string::npos ? listing.size() : end + 1;
    }
    return count;
  };
  for (int waited = 0; !test::read_file(mark) && waited < 20000; waited += 20) {
    test::pause_for_ms(20);
  }
  ASSERT_TRUE(test::read_file(mark));
  int left = zombies();
  for (int waited = 0; left > 0 && waited < 2000; waited += 20) {
    test::pause_for_ms(20);
    left = zombies();
  }
  EXPECT_EQ(left, 0) << "orphans that ended were not reaped while the program ran";
  EXPECT_EQ(test::finish(tool), 0);
}

// What relauncher holds of the caller's: the links in /proc/<pid>/fd above 2.
std::vector<std::string> descriptors_of(pid_t pid) {
  std::vector<std::string> held;
  for (int fd = 3; fd < 64; ++fd) {
    char target[256] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    if (readlink(link.c_str(), target, sizeof target - 1) > 0) {
      held.push_back(target);
    }
  }
  return held;
}

TEST(Caller, NothingTheCallerHoldsOrBlocksHoldsTheUpdateBack) {
  enum class Row { lock_and_socket, terminal_closes, signals_blocked, log_on_descriptor };
  for (const Row row : {Row::lock_and_socket, Row::terminal_closes, Row::signals_blocked, Row::log_on_descriptor}) {
    SCOPED_TRACE(static_cast<int>(row));
    TempDir dir;
    const std::string log = dir.file("log"), lock = dir.file("app.lock"), record = dir.file("ran");
    const std::string started = dir.file("started"), taken = dir.file("taken");
    // An application that takes its single-instance lock the common way.
    const std::string relaunched = dir.file("relaunched.sh");
    test::write_file(relaunched,
                     "#!/bin/sh\nexec 9>'" + lock + "'\nflock -n 9 && echo taken > '" + taken +
                         "' || echo held > '" + taken + "'\n",
                     0755);
    // A program that writes to its output every 100 ms for 2 s.
    const std::string program = dir.file("writes.sh");
    test::write_file(program,
                     "#!/bin/sh\ntouch '" + started + "'\ni=0\nwhile [ $i -lt 20 ]; do echo line || exit 3; sleep 0.1; "
                     "i=$((i+1)); done\n",
                     0755);
    std::vector<std::string> line = {"--log", row == Row::log_on_descriptor ? "/dev/fd/7" : log, "--wait-pid",
                                     test::absent_pid(), "--relaunch", relaunched};
    if (row == Row::signals_blocked) {
      // The new version fails 1.5 s into its trial, unless the session's end came first.
      test::make_version(dir.file("Example"), "old", record);
      test::make_version(dir.file("Example-2"), "new", record, 3, "1.5");
      line = {"--log", log, "--wait-pid", test::absent_pid(), "--replace", dir.file("Example"),
              "--with", dir.file("Example-2"), "--relaunch", dir.file("Example/app"), "--trial", "5"};
    } else {
      line.insert(line.end(), {"--", program});
    }
    int master = -1, slave = -1;
    if (row == Row::terminal_closes) {
      ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    }
    const pid_t tool = test::start_tool(line, [&] {
      if (row == Row::lock_and_socket) {
        const int held = open(lock.c_str(), O_RDWR | O_CREAT, 0644);
        flock(held, LOCK_EX);
        dup2(held, 9);
        const int listening = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("socket").c_str());
        bind(listening, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        listen(listening, 1);
        dup2(listening, 10);
      } else if (row == Row::terminal_closes) {
        dup2(slave, 1);
        dup2(slave, 2);
      } else if (row == Row::signals_blocked) {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGHUP);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
      } else {
        const int file = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(file, 7);
      }
    });
    if (slave >= 0) {
      close(slave);
    }
    if (row == Row::signals_blocked) {
      ASSERT_TRUE(test::wait_for_text(log, " relaunch pid=")) << test::read_file(log).value_or("");
      kill(tool, SIGTERM);  // the session ends
    } else {
      for (int waited = 0; !test::exists(started) && waited < 10000; waited += 10) {
        test::pause_for_ms(10);
      }
      ASSERT_TRUE(test::exists(started)) << test::read_file(log).value_or("");
      for (const std::string& held : descriptors_of(tool)) {
        EXPECT_EQ(held.find("socket:"), std::string::npos) << held;
        EXPECT_NE(held, lock);
      }
      if (master >= 0) {
        close(master);  // the application's terminal closes while the program writes
      }
    }
    const int exit_code = test::finish(tool);
    const std::string logged = test::read_file(log).value_or("");
    EXPECT_EQ(exit_code, 0) << logged;
    if (row == Row::signals_blocked) {
      EXPECT_TRUE(contains(logged, " trial passed after_ms=")) << logged;
      continue;
    }
    EXPECT_TRUE(contains(logged, " exit code=0 ")) << logged;
    for (int waited = 0; !test::exists(taken) && waited < 5000; waited += 10) {
      test::pause_for_ms(10);
    }
    EXPECT_EQ(test::read_file(taken).value_or(""), "taken\n") << "the relaunched application found its lock held";
  }
}

}  // namespace

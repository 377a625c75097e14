#include "process/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "files/system.h"
#include "process/process_linux_internal.h"

extern char** environ;

namespace relauncher {

namespace {

constexpr int poll_interval_ms = 100;
// Every signal a caller may have ignored or blocked: the program gets none of that.
constexpr int highest_signal = 64;

// pid_max: ids run from 1 to one below it.
std::int64_t id_ceiling() {
  std::ifstream file("/proc/sys/kernel/pid_max");
  std::int64_t value = 0;
  file >> value;
  return value > 0 ? value : std::int64_t{4194304};  // the kernel's own ceiling
}

// Where no pidfd can be had (kernels before 5.3, a container's seccomp filter), the
// process's state is read every 100 ms: gone, a zombie, or another process under the id
// (another start time) all mean it has ended.
WaitOutcome poll_state(std::int64_t pid, std::uint64_t start, std::uint32_t timeout_s) {
  const std::uint64_t until =
      timeout_s == 0 ? 0 : steady_milliseconds() + std::uint64_t{timeout_s} * 1000;
  for (;;) {
    if (ended_since(pid, start)) {
      return WaitOutcome::ended;
    }
    if (until != 0 && steady_milliseconds() >= until) {
      return WaitOutcome::timed_out;
    }
    pause_milliseconds(poll_interval_ms);
  }
}

WaitReport wait_by_polling(std::int64_t pid, int pidfd_error, std::uint32_t timeout_s) {
  WaitReport report{WaitOutcome::not_opened, static_cast<std::uint32_t>(ESRCH), {}, false};
  const std::optional<ProcessState> state = process_state(pid);
  const std::optional<ProcessState> own = process_state(getpid());
  if (!state || state->ended) {
    return report;
  }
  if (own && started_after_tool(state->start, own->start)) {
    report.outcome = WaitOutcome::started_after;
    return report;
  }
  report.error = static_cast<std::uint32_t>(pidfd_error);
  report.polled = true;
  report.image = executable_of(pid).path;
  report.outcome = poll_state(pid, state->start, timeout_s);
  return report;
}

// Descriptors the caller left inheritable would reach every process the tool starts:
// from here on, every one above the standard three closes on exec.
// close_range(2) over [first, last], closing (`flags` 0) or marking close-on-exec
// (CLOSE_RANGE_CLOEXEC); where the kernel lacks it, each descriptor there in turn.
void close_range_or_each(unsigned first, unsigned last, unsigned flags) {
  if (syscall(SYS_close_range, first, last, flags) == 0) {
    return;
  }
  const long highest = sysconf(_SC_OPEN_MAX);
  const unsigned end = std::min(last, static_cast<unsigned>(highest > 0 ? highest : 1024) - 1);
  for (unsigned fd = first; fd <= end; ++fd) {
    const int descriptor = static_cast<int>(fd);
    const int open_flags = fcntl(descriptor, F_GETFD);
    if (open_flags >= 0) {
      (void)(flags == 0 ? close(descriptor) : fcntl(descriptor, F_SETFD, open_flags | FD_CLOEXEC));
    }
  }
}

void close_inherited_descriptors_on_exec() {
  close_range_or_each(3, ~0U, 4U /* CLOSE_RANGE_CLOEXEC */);
}

bool is_executable_file(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// A name with a slash is a path. A bare name is searched in PATH as execvp searches it,
// except that empty and "." entries are skipped: they mean the current folder, where
// anyone may plant a program. Empty when nothing is found.
std::string resolve(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    return program;
  }
  const char* path = std::getenv("PATH");
  const std::string folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t start = 0; start <= folders.size();) {
    std::size_t end = folders.find(':', start);
    end = end == std::string::npos ? folders.size() : end;
    const std::string folder = folders.substr(start, end - start);
    if (!folder.empty() && folder != ".") {
      const std::string candidate = folder + "/" + program;
      if (is_executable_file(candidate)) {
        return candidate;
      }
    }
    start = end + 1;
  }
  return {};
}

// The argv as a POSIX shell reads it back, for the log.
std::string shell_line(const std::string& program, const std::vector<std::string>& arguments) {
  std::string line = shell_quoted(program);
  for (const std::string& argument : arguments) {
    line += " " + shell_quoted(argument);
  }
  return line;
}

struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    (void)posix_spawnattr_init(&attributes);
    (void)posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    (void)posix_spawn_file_actions_destroy(&actions);
    (void)posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

constexpr char verified_path_variable[] = "RELAUNCHER_VERIFIED_PATH";
constexpr char verified_copy_variable[] = "RELAUNCHER_VERIFIED_COPY";

// Every descriptor above 2 the caller left open, except those the command line names
// (/dev/fd/<n>): the tool needs none, and holding one (an application's lock, a listening
// socket) for the whole hand-over would keep it from the relaunched application.
void close_inherited_descriptors(std::vector<int> kept) {
  std::sort(kept.begin(), kept.end());
  unsigned from = 3;
  for (const int fd : kept) {
    if (fd >= static_cast<int>(from)) {
      if (fd > static_cast<int>(from)) {
        close_range_or_each(from, static_cast<unsigned>(fd) - 1, 0);
      }
      from = static_cast<unsigned>(fd) + 1;
    }
  }
  close_range_or_each(from, ~0U, 0);
}

// A stream the program may share with the tool: a regular file, where a caller keeps it.
// A pipe or socket may have lost its reader (the application quit), and a terminal its
// user (the window closed): a program that writes into either would be killed or fail.
bool is_harmless_stream(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
}

// Standard input on /dev/null; output and error the tool's own when harmless, else on
// /dev/null (`detached`: always on /dev/null). Where there is no /dev/null (an empty
// root, a bare container) such a stream is closed instead: a start that failed for want
// of it would lose the program or the relaunch.
void set_streams(SpawnSetup& setup, bool detached) {
  const bool have_null = access("/dev/null", R_OK | W_OK) == 0;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fd > 0 && !detached && is_harmless_stream(fd)) {
      continue;
    }
    if (have_null) {
      (void)posix_spawn_file_actions_addopen(&setup.actions, fd, "/dev/null",
                                             fd == 0 ? O_RDONLY : O_WRONLY, 0);
    } else if (fcntl(fd, F_GETFD) >= 0) {  // closing one not open would fail the start
      (void)posix_spawn_file_actions_addclose(&setup.actions, fd);
    }
  }
}

// The environment the program gets: the tool's, and for a verified program that runs
// from its held copy the verified file's own path (for its folder) and the copy, through
// the tool, which holds it while the program runs (for a script that runs itself again:
// the path may hold another file by now).
std::vector<std::string> program_environment(const std::string& verified_path, int image_fd) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    variables.emplace_back(*entry);
  }
  if (!verified_path.empty()) {
    variables.push_back(std::string(verified_path_variable) + "=" + verified_path);
    variables.push_back(std::string(verified_copy_variable) + "=/proc/" +
                        std::to_string(getpid()) + "/fd/" + std::to_string(image_fd));
  }
  return variables;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) {
    pointers.push_back(&text[0]);
  }
  pointers.push_back(nullptr);
  return pointers;
}

// Whether the program could run at its own path, as it would without --sha256: a file
// without the execute bit, or on a noexec mount, must not run from the copy either.
int runnable_error(const std::string& path) {
  struct statvfs mount {};
  if (path.empty()) {
    return ENOENT;
  }
  if (access(path.c_str(), X_OK) != 0) {
    return errno;
  }
  return statvfs(path.c_str(), &mount) == 0 && (mount.f_flag & ST_NOEXEC) != 0 ? EACCES : 0;
}

bool is_script(int fd) {
  char start[2] = {};
  return pread(fd, start, sizeof(start), 0) == 2 && start[0] == '#' && start[1] == '!';
}

// Starts `program` (resolved) with the default disposition for every signal and none
// blocked, whatever the caller left ignored or blocked; `detached` also gives it a new
// session. A verified program (`verified.fd`) runs from its sealed copy.
StartReport spawn(const std::string& program, const std::vector<std::string>& arguments,
                  bool detached, int image_fd = -1, const std::string& verified_path = {}) {
  close_inherited_descriptors_on_exec();
  StartReport report;
  report.command_line = shell_line(program, arguments);
  const std::string resolved = resolve(program);
  const int refused = image_fd >= 0 ? runnable_error(resolved) : (resolved.empty() ? ENOENT : 0);
  if (refused != 0) {
    report.error = std::error_code(refused, std::system_category());
    return report;
  }
  // The copy's descriptor closes on exec, so that nothing the program starts holds it;
  // only a "#!" script keeps it, since its interpreter opens the script by that name.
  const std::string file = image_fd >= 0 ? "/proc/self/fd/" + std::to_string(image_fd) : resolved;
  const bool keep_image = image_fd >= 0 && is_script(image_fd);
  SpawnSetup setup;
  sigset_t none, every;
  (void)sigemptyset(&none);
  (void)sigemptyset(&every);
  for (int signal = 1; signal <= highest_signal; ++signal) {
    (void)sigaddset(&every, signal);  // those the system does not have are refused: no matter
  }
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (detached) {
    flags |= POSIX_SPAWN_SETSID;
  }
  set_streams(setup, detached);
  (void)posix_spawnattr_setsigmask(&setup.attributes, &none);
  (void)posix_spawnattr_setsigdefault(&setup.attributes, &every);
  (void)posix_spawnattr_setflags(&setup.attributes, flags);
  // The argument vector points into strings that outlive the call; exec copies them.
  std::vector<std::string> argument_texts = {program};
  argument_texts.insert(argument_texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv = pointers_to(argument_texts);
  std::vector<std::string> variables =
      program_environment(image_fd >= 0 ? verified_path : "", image_fd);
  std::vector<char*> envp = pointers_to(variables);
  pid_t pid = 0;
  if (keep_image) {
    (void)fcntl(image_fd, F_SETFD, 0);
  }
  const int error =
      posix_spawn(&pid, file.c_str(), &setup.actions, &setup.attributes, argv.data(), envp.data());
  if (keep_image) {
    (void)fcntl(image_fd, F_SETFD, FD_CLOEXEC);
  }
  if (error != 0) {
    report.error = std::error_code(error, std::system_category());
    return report;
  }
  report.pid = static_cast<std::uint32_t>(pid);
  return report;
}

// Waits for the program. Under --wait-tree the tool is a subreaper, and orphans of the
// program's tree that end meanwhile come back to it: each is reaped as it ends, and the
// program's own status kept when its id comes back.
pid_t wait_for_program(pid_t program, bool reap_others, int& status) {
  for (;;) {
    int any_status = 0;
    const pid_t waited = waitpid(reap_others ? -1 : program, &any_status, 0);
    if (waited < 0 && errno == EINTR) {
      continue;
    }
    if (waited == program || waited < 0) {
      status = any_status;
      return waited;
    }
  }
}

}  // namespace

std::string shell_quoted(const std::string& argument) {
  const char* const plain =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_@%+=:,./-";
  if (!argument.empty() && argument.find_first_not_of(plain) == std::string::npos) {
    return argument;
  }
  std::string quoted = "'";
  for (const char c : argument) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

WaitReport wait_for_process(std::int64_t pid, std::uint32_t timeout_s) {
  if (pid <= 0) {
    return {WaitOutcome::not_positive, 0, {}, false};
  }
  if (pid >= id_ceiling()) {
    return {WaitOutcome::beyond_maximum, 0, {}, false};
  }
  if (pid == getpid()) {
    return {WaitOutcome::own_process, 0, {}, false};
  }
  const int pidfd = open_pidfd(pid);
  if (pidfd < 0) {
    const int error = errno;
    return error == ESRCH ? WaitReport{WaitOutcome::not_opened, ESRCH, {}, false}
                          : wait_by_polling(pid, error, timeout_s);
  }
  // The pidfd first, then the start time, then whether it has ended: a start time read
  // while the pidfd was not yet readable is the process's own, since its id cannot have
  // been freed before it ended.
  WaitReport report{WaitOutcome::ended, 0, {}, false};
  const std::optional<ProcessState> state = process_state(pid);
  const std::optional<ProcessState> own = process_state(getpid());
  if (!pidfd_ended(pidfd, 0)) {
    if (state && own && started_after_tool(state->start, own->start)) {
      report.outcome = WaitOutcome::started_after;
    } else {
      // Read while the pidfd holds the id: the executable is this process's own.
      report.image = executable_of(pid).path;
      const int ms = timeout_s == 0 ? -1 : static_cast<int>(timeout_s * 1000);
      report.outcome = pidfd_ended(pidfd, ms) ? WaitOutcome::ended : WaitOutcome::timed_out;
    }
  }
  (void)close(pidfd);
  return report;
}

RunReport run_and_wait(const std::string& program, const std::vector<std::string>& arguments,
                       const ProgramSettings& settings) {
  RunReport report;
  const int subreaper_error = settings.wait_tree ? become_subreaper() : 0;
  report.start = spawn(program, arguments, false, static_cast<int>(settings.verified_program),
                       settings.verified_program_path);
  if (report.start.error) {
    return report;
  }
  int status = 0;
  const pid_t waited = wait_for_program(static_cast<pid_t>(report.start.pid),
                                        settings.wait_tree && subreaper_error == 0, status);
  if (settings.wait_tree) {
    report.tree = subreaper_error == 0 ? wait_for_rest_of_tree(settings) : TreeWait{};
    report.tree->error = static_cast<std::uint32_t>(subreaper_error);
  }
  if (waited < 0) {
    return report;  // its outcome cannot be read: -1, never success
  }
  if (WIFEXITED(status)) {
    report.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    report.signal = WTERMSIG(status);
    report.exit_code = 128 + report.signal;  // as shells report it
  }
  return report;
}

StartReport launch_detached(const std::string& application,
                            const std::vector<std::string>& arguments) {
  return spawn(application, arguments, true);
}

WatchedStart launch_watched(const std::string& application,
                            const std::vector<std::string>& arguments) {
  // A subreaper would take the status of orphans meant for nobody; the relaunch is the
  // tool's own child either way.
  (void)prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);
  WatchedStart watched;
  watched.start = spawn(application, arguments, true);
  if (!watched.start.error) {
    watched.handle = static_cast<std::intptr_t>(watched.start.pid);
  }
  return watched;
}

namespace {

volatile sig_atomic_t session_ending = 0;

void note_session_end(int) {
  session_ending = 1;
}

}  // namespace

WatchEnd watch_for(std::intptr_t handle, std::uint32_t ms, const SessionEnd& session) {
  // Told that the session ends, the tool must not take the new version for a failure:
  // SIGTERM and SIGHUP end the watch instead of the tool.
  struct sigaction told {};
  told.sa_handler = note_session_end;
  (void)sigaction(SIGTERM, &told, nullptr);
  (void)sigaction(SIGHUP, &told, nullptr);
  const auto pid = static_cast<pid_t>(handle);
  const int pidfd = open_pidfd(pid);
  const std::uint64_t until = steady_milliseconds() + ms;
  WatchEnd end;
  int status = 0;
  while (session_ending == 0) {
    const pid_t waited = waitpid(pid, &status, WNOHANG);
    if (waited == pid) {
      end.ended = true;
      end.crashed = WIFSIGNALED(status);
      end.exit_code = end.crashed ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
      break;
    }
    const std::uint64_t now = steady_milliseconds();
    if (waited < 0 || now >= until) {
      break;
    }
    const int left = static_cast<int>(until - now);
    struct pollfd watched = {pidfd, POLLIN, 0};
    if (pidfd < 0 || poll(&watched, 1, left) < 0) {
      pause_milliseconds(static_cast<std::uint32_t>(std::min(left, 100)));
    }
  }
  end.session_ending = session_ending != 0;
  if (end.session_ending && session.on_end) {
    session.on_end();
  }
  if (pidfd >= 0) {
    (void)close(pidfd);
  }
  return end;
}

void release_watched(std::intptr_t) {
  // It runs on; once the tool has ended, it is reparented as any detached relaunch.
}

void settle_own_process(const std::vector<int>& named_descriptors) {
  // Until the caller's session is left, what a closing terminal or a launcher sends its
  // group must not end the tool (ignoring also discards what is already pending).
  for (const int told : {SIGHUP, SIGINT, SIGTERM, SIGQUIT}) {
    (void)signal(told, SIG_IGN);
  }
  // The mask is the tool's own, whatever the caller left blocked: the trial hears SIGTERM.
  sigset_t none;
  (void)sigemptyset(&none);
  (void)sigprocmask(SIG_SETMASK, &none, nullptr);
  close_inherited_descriptors(named_descriptors);
  (void)signal(SIGCHLD, SIG_DFL);
  (void)signal(SIGPIPE, SIG_IGN);
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0) {
      // The lowest free descriptor: this one. Where there is no /dev/null it stays
      // closed, and the program's streams are closed too.
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0 && null != fd) {
        (void)close(null);
      }
    }
  }
  (void)unsetenv(verified_path_variable);
  (void)unsetenv(verified_copy_variable);
}

void own_signals_after_leaving() {
  for (const int told : {SIGHUP, SIGINT, SIGTERM, SIGQUIT}) {
    (void)signal(told, SIG_DFL);
  }
}

void set_own_environment(const std::string& name, const std::optional<std::string>& value) {
  // Nothing can be done if it fails (out of memory): the variable keeps its value.
  (void)(value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str()));
}

SystemText program_file(const std::string& program) {
  const std::string file = resolve(program);
  return file.empty() ? program : file;
}

SystemText tool_executable() {
  std::string path(4096, '\0');
  const ssize_t length = readlink("/proc/self/exe", &path[0], path.size());
  path.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
  return path;
}

std::int32_t exit_code_as_seen(std::int32_t exit_code) {
  return exit_code & 0xFF;
}

std::string signal_name(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation != nullptr ? std::string("SIG") + abbreviation : std::string();
}

std::string tool_command_line() {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  const std::string raw((std::istreambuf_iterator<char>(cmdline)),
                        std::istreambuf_iterator<char>());
  std::string line;
  for (std::size_t start = 0; start < raw.size();) {
    const std::size_t end = raw.find('\0', start);
    const std::size_t stop = end == std::string::npos ? raw.size() : end;
    line += (line.empty() ? "" : " ") + shell_quoted(raw.substr(start, stop - start));
    start = stop + 1;
  }
  return line;
}

}  // namespace relauncher

#include "support.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

extern char** environ;

namespace test {

std::string build_dir() {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  const std::string path(self, length > 0 ? static_cast<std::size_t>(length) : 0);
  return path.substr(0, path.find_last_of('/'));
}

std::string tool_path() {
  return build_dir() + "/relauncher";
}

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/relauncher-test-XXXXXX";
  path_ = mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

TempDir::~TempDir() {
  if (!path_.empty()) {
    (void)std::system(("rm -rf '" + path_ + "'").c_str());
  }
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::string& bytes, unsigned mode) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  chmod(path.c_str(), mode);
}

std::string copy_probe(const TempDir& dir, const std::string& name) {
  const std::string copy = dir.file(name);
  write_file(copy, read_file(build_dir() + "/probe").value_or(""), 0755);
  return copy;
}

namespace {

std::map<std::string, std::string> fields_of(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
      fields[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return fields;
}

std::string unhex(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  }
  return bytes;
}

void pause_ms(long ms) {
  const struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

std::string stem_of(const std::string& probe) {
  return probe.substr(probe.find_last_of('/') + 1);
}

}  // namespace

std::optional<ProbeRecord> probe_started(const std::string& probe) {
  const std::optional<std::string> text = read_file(probe + ".started");
  if (!text) {
    return std::nullopt;
  }
  std::map<std::string, std::string> fields = fields_of(*text);
  ProbeRecord record;
  record.pid = std::atoi(fields["pid"].c_str());
  record.sid = std::atoi(fields["sid"].c_str());
  record.start = std::atoll(fields["start"].c_str());
  record.ignored = fields["ignored"];
  record.blocked = fields["blocked"];
  record.fds = fields["fds"];
  record.streams = fields["streams"];
  record.verified_path = fields["verified_path"];
  record.outcome = fields["outcome"];
  record.outcome_exit_code = fields["outcome_exit_code"];
  // Each argument in hexadecimal, comma-separated: argc tells none from one empty one.
  const std::string args = fields["args"];
  const int count = std::atoi(fields["argc"].c_str());
  for (std::size_t start = 0; static_cast<int>(record.args.size()) < count;) {
    std::size_t end = args.find(',', start);
    end = end == std::string::npos ? args.size() : end;
    record.args.push_back(unhex(args.substr(start, end - start)));
    start = end + 1;
  }
  return record;
}

std::optional<long long> probe_ended(const std::string& probe) {
  const std::optional<std::string> text = read_file(probe + ".ended");
  if (!text) {
    return std::nullopt;
  }
  return std::atoll(fields_of(*text)["end"].c_str());
}

std::optional<ProbeRecord> wait_until_started(const std::string& probe, int ms) {
  for (int waited = 0;; waited += 20) {
    if (const std::optional<ProbeRecord> record = probe_started(probe)) {
      return record;
    }
    if (waited >= ms) {
      return std::nullopt;
    }
    pause_ms(20);
  }
}

void forget_records(const std::vector<std::string>& probes) {
  for (const std::string& probe : probes) {
    unlink((probe + ".started").c_str());
    unlink((probe + ".ended").c_str());
    unlink((probe + ".then").c_str());
  }
}

void set_probe(const std::string& probe, const std::string& key, const std::string& value) {
  const std::string name = "PROBE_" + stem_of(probe) + "_" + key;
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
}

namespace {

pid_t spawn(const std::string& program, const std::vector<std::string>& args,
            const std::function<void()>& in_child, int error_pipe) {
  const pid_t child = fork();
  if (child != 0) {
    return child;
  }
  if (error_pipe >= 0) {
    dup2(error_pipe, 2);
  }
  if (in_child) {
    in_child();
  }
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  execve(program.c_str(), argv.data(), environ);
  _exit(127);
}

}  // namespace

pid_t start_probe(const std::string& probe, unsigned sleep_ms) {
  set_probe(probe, "SLEEP_MS", std::to_string(sleep_ms));
  return spawn(probe, {}, {}, -1);
}

int finish(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

pid_t start_tool(const std::vector<std::string>& args, const std::function<void()>& in_child,
                 const std::string& tool) {
  return spawn(tool.empty() ? tool_path() : tool, args, in_child, -1);
}

std::function<void()> with_file_seam(const std::string& variable, const std::string& value) {
  return [=] {
    setenv("LD_PRELOAD", (build_dir() + "/libfile_calls.so").c_str(), 1);
    setenv(variable.c_str(), value.c_str(), 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);  // the seam is no sanitized library
  };
}

ToolRun run_tool(const std::vector<std::string>& args, const std::function<void()>& in_child,
                 const std::string& tool) {
  int pipe_ends[2];
  if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
    return {};
  }
  ToolRun run;
  run.pid = spawn(tool.empty() ? tool_path() : tool, args, in_child, pipe_ends[1]);
  close(pipe_ends[1]);
  char buffer[4096];
  for (ssize_t got; (got = read(pipe_ends[0], buffer, sizeof(buffer))) > 0;) {
    run.error_output.append(buffer, static_cast<std::size_t>(got));
  }
  close(pipe_ends[0]);
  run.exit_code = finish(run.pid);
  return run;
}

std::string absent_pid() {
  for (pid_t pid = 30000;; --pid) {
    if (kill(pid, 0) != 0 && errno == ESRCH) {
      return std::to_string(pid);
    }
  }
}

void refuse_system_call(long number, int error) {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog filter = {static_cast<unsigned short>(std::size(code)), code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) != 0) {
    _exit(99);
  }
}

void pause_for_ms(long ms) {
  pause_ms(ms);
}

bool wait_for_text(const std::string& file, const std::string& text, int ms) {
  for (int waited = 0;; waited += 20) {
    if (read_file(file).value_or("").find(text) != std::string::npos) {
      return true;
    }
    if (waited >= ms) {
      return false;
    }
    pause_ms(20);
  }
}

std::string sha256sum(const std::string& file) {
  FILE* pipe = popen(("sha256sum '" + file + "'").c_str(), "r");
  char digest[65] = {};
  const bool read = pipe != nullptr && std::fread(digest, 1, 64, pipe) == 64;
  if (pipe != nullptr) {
    pclose(pipe);
  }
  return read ? digest : "";
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  return lines;
}

}  // namespace test

// Stands in for the application, the installer and the relaunched application. It
// records what it saw to <its path>.started, and <its path>.ended just before it exits:
//
//   pid, sid, start (CLOCK_MONOTONIC, ns), ignored and blocked signals (SigIgn and
//   SigBlk of /proc/self/status), the descriptors it holds above 2, what its descriptors
//   0 to 2 are (each link of /proc/self/fd, or "closed"), the outcome variables
//   (RELAUNCHER_OUTCOME and RELAUNCHER_EXIT_CODE, or "unset"), RELAUNCHER_VERIFIED_PATH,
//   and each argument as hexadecimal, so that any byte shows.
//
// PROBE_<stem>_SLEEP_MS and PROBE_<stem>_EXIT (or PROBE_<stem>_SIGNAL: it ends by that
// signal) from the environment tell it what to do, <stem> being its file name;
// PROBE_<stem>_UNTIL=<path> runs on until that file exists, PROBE_<stem>_IGNORE_TERM
// ignores SIGTERM, PROBE_<stem>_TERM_MS takes that long to save
// after SIGTERM and then ends as it would have, PROBE_<stem>_WRITE writes a line to its
// standard output and error before it ends (and exits 100 when a write fails), and PROBE_<stem>_THEN=<path> starts that
// program as a daemon (a double fork and setsid) just before the probe ends, once: a
// <its path>.then mark keeps a probe that restarts itself from doing it again.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

namespace {

long long monotonic_ns() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::string setting(const std::string& stem, const char* key) {
  const char* value = std::getenv(("PROBE_" + stem + "_" + key).c_str());
  return value != nullptr ? value : "";
}

std::string status_field(const char* name) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(name, 0) == 0) {
      return line.substr(line.find_first_not_of(" \t", std::string(name).size()));
    }
  }
  return "";
}

std::string descriptors() {
  std::string list;
  DIR* folder = opendir("/proc/self/fd");
  const int own = folder != nullptr ? dirfd(folder) : -1;
  while (dirent* entry = folder != nullptr ? readdir(folder) : nullptr) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] != '.' && fd > 2 && fd != own) {
      list += (list.empty() ? "" : ",") + std::to_string(fd);
    }
  }
  if (folder != nullptr) {
    closedir(folder);
  }
  return list;
}

std::string streams() {
  std::string list;
  for (int fd = 0; fd <= 2; ++fd) {
    char target[4096];
    const ssize_t length =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof(target) - 1);
    list += (fd > 0 ? "," : "") + (length > 0 ? std::string(target, length) : "closed");
  }
  return list;
}

std::string hex(const std::string& bytes) {
  std::string out;
  char pair[3];
  for (const unsigned char byte : bytes) {
    std::snprintf(pair, sizeof(pair), "%02x", byte);
    out += pair;
  }
  return out;
}

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "unset";
}

// Written under a temporary name and renamed, so that a reader never sees half a record.
void write_record(const std::string& path, const std::string& text) {
  {
    std::ofstream out(path + ".partial", std::ios::binary | std::ios::trunc);
    out << text;
  }
  std::rename((path + ".partial").c_str(), path.c_str());
}

// The grandchild runs `program` in a session of its own; its parent is gone at once, so
// that it comes back to the nearest subreaper, or to init.
void start_daemon(const std::string& program, const std::string& mark) {
  if (program.empty() || access(mark.c_str(), F_OK) == 0) {
    return;
  }
  write_record(mark, "");
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    if (fork() == 0) {
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    }
    _exit(0);
  }
  waitpid(child, nullptr, 0);
}

volatile sig_atomic_t terminated = 0;

void note_term(int) {
  terminated = 1;
}

void sleep_ms(long ms) {
  const struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  const long long started = monotonic_ns();
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  self[length > 0 ? length : 0] = '\0';
  // Run from relauncher's sealed copy of a verified file, its executable is the copy:
  // its records go beside the name it was started by.
  const std::string path = std::string(self).rfind("/memfd:", 0) == 0 ? argv[0] : self;
  const std::string stem = path.substr(path.find_last_of('/') + 1);
  std::string record = "pid=" + std::to_string(getpid()) + "\nsid=" + std::to_string(getsid(0)) +
                       "\nstart=" + std::to_string(started) + "\nignored=" + status_field("SigIgn:") +
                       "\nblocked=" + status_field("SigBlk:") + "\nfds=" + descriptors() + "\nstreams=" + streams() +
                       "\noutcome=" + variable("RELAUNCHER_OUTCOME") +
                       "\noutcome_exit_code=" + variable("RELAUNCHER_EXIT_CODE") +
                       "\nverified_path=" + variable("RELAUNCHER_VERIFIED_PATH") +
                       "\nargc=" + std::to_string(argc - 1) + "\nargs=";
  for (int i = 1; i < argc; ++i) {
    record += (i > 1 ? "," : "") + hex(argv[i]);
  }
  write_record(path + ".started", record + "\n");
  if (!setting(stem, "IGNORE_TERM").empty()) {
    signal(SIGTERM, SIG_IGN);
  }
  const std::string term_ms = setting(stem, "TERM_MS");
  if (!term_ms.empty()) {
    signal(SIGTERM, note_term);  // a SIGTERM cuts the sleep short
  }
  const std::string sleep_setting = setting(stem, "SLEEP_MS");
  if (!sleep_setting.empty()) {
    sleep_ms(std::atol(sleep_setting.c_str()));
  }
  if (terminated != 0) {
    sleep_ms(std::atol(term_ms.c_str()));  // saving the user's work
  }
  for (const std::string until = setting(stem, "UNTIL"); !until.empty() && access(until.c_str(), F_OK) != 0;) {
    sleep_ms(10);
  }
  start_daemon(setting(stem, "THEN"), path + ".then");
  if (!setting(stem, "WRITE").empty() &&
      (write(1, "output\n", 7) != 7 || write(2, "error\n", 6) != 6)) {
    return 100;  // as a package manager reports a broken pipe
  }
  write_record(path + ".ended", "end=" + std::to_string(monotonic_ns()) + "\n");
  const std::string signal_number = setting(stem, "SIGNAL");
  if (!signal_number.empty()) {
    signal(std::atoi(signal_number.c_str()), SIG_DFL);
    kill(getpid(), std::atoi(signal_number.c_str()));
  }
  return std::atoi(setting(stem, "EXIT").c_str());
}

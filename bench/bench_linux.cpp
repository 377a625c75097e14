// The Linux hand-over measured side by side with its limit: relauncher against a
// minimal waiter (pidfd, poll, posix_spawn, nothing else), and relauncher made to poll
// (pidfd_open refused by a seccomp filter, as in a container that filters it), round by
// round in alternating order so that machine noise hits every contestant alike.
//
//   bench_linux [rounds]   (default 30)
//
// Prints a Markdown table: the latency from the application's last moment to the
// program's first (CLOCK_MONOTONIC, read in both), and each waiter's peak resident
// memory (from wait4).

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

std::string g_dir;

long long monotonic_ns() {
  struct timespec now {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

void refuse_pidfd_open() {
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog filter = {static_cast<unsigned short>(sizeof(code) / sizeof(code[0])), code};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) != 0) {
    _exit(99);
  }
}

struct Contestant {
  const char* name;
  std::vector<std::string> before_pid;  // the command is before_pid, the pid, the marker
  bool options_end;  // "--" before the marker: relauncher's own syntax
  bool polls;
  std::vector<double> latency_ms;
  std::vector<double> peak_kib;
};

// One hand-over: an application that ends when told, the waiter given its pid, and the
// marker that the waiter starts. Returns false when the marker did not run.
bool measure(Contestant& contestant, volatile long long* victim_end, std::mt19937& random) {
  const std::string marker_file = g_dir + "/bench-marker-time";
  unlink(marker_file.c_str());
  int go[2];
  if (pipe(go) != 0) {
    return false;
  }
  const pid_t victim = fork();
  if (victim == 0) {
    close(go[1]);
    char byte;
    (void)!read(go[0], &byte, 1);
    *victim_end = monotonic_ns();
    _exit(0);
  }
  close(go[0]);
  std::vector<std::string> words = contestant.before_pid;
  words.push_back(std::to_string(victim));
  if (contestant.options_end) {
    words.push_back("--");
  }
  words.push_back(g_dir + "/marker_linux");
  words.push_back(marker_file);
  const pid_t waiter = fork();
  if (waiter == 0) {
    if (contestant.polls) {
      refuse_pidfd_open();
    }
    std::vector<char*> argv;
    for (std::string& word : words) {
      argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  // Let the waiter start and take hold of the application; the random part spreads the
  // end over the poller's interval.
  usleep(200000 + static_cast<useconds_t>(random() % 100000));
  (void)!write(go[1], "x", 1);
  close(go[1]);
  int status = 0;
  waitpid(victim, &status, 0);
  struct rusage usage {};
  wait4(waiter, &status, 0, &usage);
  std::ifstream marker(marker_file);
  long long started = 0;
  if (!(marker >> started)) {
    return false;
  }
  contestant.latency_ms.push_back(static_cast<double>(started - *victim_end) / 1e6);
  contestant.peak_kib.push_back(static_cast<double>(usage.ru_maxrss));
  return true;
}

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const std::string self = argv[0];
  g_dir = self.find('/') == std::string::npos ? "." : self.substr(0, self.find_last_of('/'));
  auto* victim_end = static_cast<volatile long long*>(
      mmap(nullptr, sizeof(long long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
  std::vector<Contestant> contestants = {
      {"relauncher --wait-pid", {g_dir + "/relauncher", "--wait-pid"}, true, false, {}, {}},
      {"limit: pidfd + poll + posix_spawn", {g_dir + "/minimal_waiter_linux"}, false, false, {}, {}},
      {"relauncher --wait-pid, polling (no pidfd)", {g_dir + "/relauncher", "--wait-pid"}, true, true, {}, {}},
  };
  std::mt19937 random(20261207);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < contestants.size(); ++i) {
      Contestant& contestant = contestants[round % 2 == 0 ? i : contestants.size() - 1 - i];
      if (!measure(contestant, victim_end, random)) {
        std::fprintf(stderr, "%s: the marker did not run\n", contestant.name);
        return 1;
      }
    }
  }
  const double limit = percentile(contestants[1].latency_ms, 0.5);
  const double limit_kib = percentile(contestants[1].peak_kib, 0.5);
  std::printf("Linux hand-over latency: from the application's last moment to the program's first\n"
              "(%d rounds each)\n\n| waiter | median ms | p90 ms | median / limit | peak memory KiB |\n"
              "|---|---:|---:|---:|---:|\n",
              rounds);
  for (const Contestant& c : contestants) {
    const double median = percentile(c.latency_ms, 0.5);
    const double kib = percentile(c.peak_kib, 0.5);
    std::printf("| %s | %.3f | %.3f | %.2fx | %.0f (%.2fx) |\n", c.name, median, percentile(c.latency_ms, 0.9),
                median / limit, kib, kib / limit_kib);
  }
  return 0;
}

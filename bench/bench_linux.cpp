// The Linux hand-over measured side by side with its limit: relauncher against a
// minimal waiter (pidfd, poll, posix_spawn, nothing else), and relauncher made to poll
// (pidfd_open refused by a seccomp filter, as in a container that filters it), and
// relauncher waiting for the application's folder too, round by round in alternating
// order so that machine noise hits every contestant alike. The application runs from a
// folder of its own (a copy of this program, in its "victim" mode).
//
//   bench_linux [rounds]   (default 30)
//
// Prints a Markdown table: the latency from the application's last moment to the
// program's first (CLOCK_MONOTONIC, read in both), and each waiter's peak resident
// memory (from wait4); then relauncher's share of a core during a folder wait with 200
// processes running from the folder, and while they end.

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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
#include <iterator>
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
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) != 0) {
    _exit(99);
  }
}

struct Contestant {
  const char* name;
  std::vector<std::string> before_pid;  // the command is before_pid, the pid, the marker
  bool options_end;                     // "--" before the marker: relauncher's own syntax
  bool polls;
  std::vector<std::string> after_pid;  // more of relauncher's options (--wait-folder)
  std::vector<double> latency_ms;
  std::vector<double> peak_kib;
};

// One hand-over: an application that ends when told, the waiter given its pid, and the
// marker that the waiter starts. Returns false when the marker did not run.
bool measure(Contestant& contestant, std::mt19937& random) {
  const std::string marker_file = g_dir + "/bench-marker-time";
  unlink(marker_file.c_str());
  int go[2];
  if (pipe(go) != 0) {
    return false;
  }
  const pid_t victim = fork();
  if (victim == 0) {
    close(go[1]);
    // The application runs from its own folder, for the folder wait to find.
    const std::string app = g_dir + "/bench-app/bench_linux";
    const std::string fd = std::to_string(go[0]);
    execl(app.c_str(), app.c_str(), "victim", fd.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(go[0]);
  std::vector<std::string> words = contestant.before_pid;
  words.push_back(std::to_string(victim));
  words.insert(words.end(), contestant.after_pid.begin(), contestant.after_pid.end());
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
  long long victim_end = 0;
  std::ifstream(g_dir + "/bench-victim-end") >> victim_end;
  std::ifstream marker(marker_file);
  long long started = 0;
  if (!(marker >> started)) {
    return false;
  }
  contestant.latency_ms.push_back(static_cast<double>(started - victim_end) / 1e6);
  contestant.peak_kib.push_back(static_cast<double>(usage.ru_maxrss));
  return true;
}

double percentile(std::vector<double> samples, double fraction) {
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1) +
                                          0.5)];
}

// The application: ends once a byte (or the end) arrives on `fd`, its last moment
// written where the bench reads it.
int run_victim(int fd) {
  char byte;
  (void)!read(fd, &byte, 1);
  const long long end = monotonic_ns();
  std::ofstream(g_dir + "/../bench-victim-end") << end;
  return 0;
}

// relauncher's CPU time so far (user and system, in clock ticks).
long long cpu_ticks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::size_t at = text.rfind(')');
  for (int field = 3; field < 14 && at != std::string::npos; ++field) {
    at = text.find(' ', at + 1);
  }
  return at == std::string::npos ? 0
                                 : std::atoll(text.c_str() + at + 1) +
                                       std::atoll(text.c_str() + text.find(' ', at + 1) + 1);
}

// relauncher's share of a core while 200 processes run from the folder for 10 s, and
// while they end one after another over the next 5 s.
void measure_folder_wait_cost() {
  std::vector<pid_t> helpers;
  std::vector<int> ends;
  for (int i = 0; i < 200; ++i) {
    // Only the helper may hold its pipe's read end and only the bench the write end, so
    // that closing it ends that helper alone.
    int end[2];
    if (pipe2(end, O_CLOEXEC) != 0) {
      return;
    }
    const pid_t helper = fork();
    if (helper == 0) {
      (void)fcntl(end[0], F_SETFD, 0);
      const std::string app = g_dir + "/bench-app/bench_linux";
      const std::string fd = std::to_string(end[0]);
      execl(app.c_str(), app.c_str(), "helper", fd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(end[0]);
    helpers.push_back(helper);
    ends.push_back(end[1]);
  }
  usleep(300000);
  const std::string folder = g_dir + "/bench-app";
  const pid_t gone = fork();  // an application that has ended already
  if (gone == 0) {
    _exit(0);
  }
  waitpid(gone, nullptr, 0);
  const std::string gone_pid = std::to_string(gone);
  const pid_t tool = fork();
  if (tool == 0) {
    const std::string relauncher = g_dir + "/relauncher";
    execl(relauncher.c_str(), relauncher.c_str(), "--wait-pid", gone_pid.c_str(), "--wait-folder",
          folder.c_str(), "--", "/bin/true", static_cast<char*>(nullptr));
    _exit(127);
  }
  const long tick_ms = 1000 / sysconf(_SC_CLK_TCK);
  const long long start_ticks = cpu_ticks(tool);
  sleep(10);
  const long long running_ticks = cpu_ticks(tool);
  for (std::size_t i = 0; i < ends.size(); ++i) {
    close(ends[i]);
    waitpid(helpers[i], nullptr, 0);
    usleep(25000);
  }
  const long long ending_ticks = cpu_ticks(tool);
  waitpid(tool, nullptr, 0);
  std::printf(
      "\nThe folder wait's cost: relauncher --wait-folder with 200 processes running from "
      "the folder\n\n| phase | wall ms | relauncher CPU ms | share of a core |\n"
      "|---|---:|---:|---:|\n");
  const double running_ms = static_cast<double>((running_ticks - start_ticks) * tick_ms);
  const double ending_ms = static_cast<double>((ending_ticks - running_ticks) * tick_ms);
  std::printf("| running | 10000 | %.0f | %.2f %% |\n", running_ms, running_ms / 100.0);
  std::printf("| ending | 5000 | %.0f | %.2f %% |\n", ending_ms, ending_ms / 50.0);
}

long long run_ms(const std::string& command) {
  const long long begun = monotonic_ns();
  (void)std::system(command.c_str());
  return (monotonic_ns() - begun) / 1000000;
}

// A 300 MB verified installer: a script that starts the marker, followed by data that
// no shell reads. Returns its digest, or empty.
std::string make_large_installer(const std::string& path) {
  {
    std::ofstream out(path, std::ios::binary);
    out << "#!/bin/sh\nexec '" << g_dir << "/marker_linux' \"$1\"\n";
    const std::string megabyte(1 << 20, '#');
    for (int i = 0; i < 300; ++i) {
      out << megabyte;
    }
  }
  (void)chmod(path.c_str(), 0755);
  FILE* pipe = popen(("sha256sum '" + path + "'").c_str(), "r");
  char digest[65] = {};
  const bool read = pipe != nullptr && std::fread(digest, 1, 64, pipe) == 64;
  if (pipe != nullptr) {
    pclose(pipe);
  }
  return read ? digest : "";
}

// From relauncher's start to the installer's first moment, with the application ended
// already and with one that ends `app_ms` after relauncher's start.
double verified_start_ms(const std::string& installer, const std::string& digest, int app_ms,
                         double& after_app_ms) {
  const std::string marker_file = g_dir + "/bench-marker-time";
  unlink(marker_file.c_str());
  const pid_t app = fork();
  if (app == 0) {
    usleep(static_cast<useconds_t>(app_ms) * 1000);
    _exit(0);
  }
  const long long begun = monotonic_ns();
  const std::string wait_pid = std::to_string(app_ms == 0 ? 4194303 : app);
  const pid_t tool = fork();
  if (tool == 0) {
    execl((g_dir + "/relauncher").c_str(), "relauncher", "--wait-pid", wait_pid.c_str(), "--sha256",
          (digest + ":" + installer).c_str(), "--", installer.c_str(), marker_file.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(app, &status, 0);
  const long long app_end = monotonic_ns();
  waitpid(tool, &status, 0);
  long long started = 0;
  std::ifstream(marker_file) >> started;
  after_app_ms = static_cast<double>(started - app_end) / 1e6;
  return static_cast<double>(started - begun) / 1e6;
}

void measure_verified_start() {
  const std::string installer = g_dir + "/bench-installer.sh";
  const std::string digest = make_large_installer(installer);
  const long long openssl = run_ms("openssl dgst -sha256 '" + installer + "' >/dev/null");
  const long long sha256sum = run_ms("sha256sum '" + installer + "' >/dev/null");
  double after_app = 0;
  const double ended = verified_start_ms(installer, digest, 0, after_app);
  double after_late_app = 0;
  const double late = verified_start_ms(installer, digest, 2000, after_late_app);
  std::printf(
      "\nA 300 MB verified installer (--sha256): from relauncher's start to the "
      "installer's\n\n| case | ms |\n|---|---:|\n");
  std::printf("| openssl dgst -sha256 of the file | %lld |\n| sha256sum of the file | %lld |\n",
              openssl, sha256sum);
  std::printf("| relauncher, the application ended already | %.0f |\n", ended);
  std::printf(
      "| relauncher, the application ends 2 s after its start | %.0f (%.1f after "
      "the application's end) |\n",
      late, after_late_app);
  unlink(installer.c_str());
}

// A folder of `count` small files, as an unpacked application version is.
void make_version_folder(const std::string& folder, int count) {
  (void)std::system(("mkdir -p '" + folder + "'").c_str());
  for (int i = 0; i < count; ++i) {
    FILE* file = std::fopen((folder + "/f" + std::to_string(i)).c_str(), "w");
    if (file != nullptr) {
      std::fputs("a small file of an application\n", file);
      std::fclose(file);
    }
  }
}

// --replace against copying the new version over the old one, side by side: the swap is
// renames, which do not read the files, so its time should not grow with their number.
void measure_swap() {
  std::printf(
      "\nPutting a new version in place: a folder of small files on one file system\n\n"
      "| files | relauncher --replace: the swap ms | relauncher: whole run ms (backup "
      "deleted) | cp -a over the old ms |\n|---:|---:|---:|---:|\n");
  for (const int count : {1000, 10000, 50000}) {
    const std::string root = g_dir + "/bench-swap";
    (void)std::system(("rm -rf '" + root + "'").c_str());
    make_version_folder(root + "/App", count);
    make_version_folder(root + "/App-2", count);
    (void)std::system(("cp -a '" + root + "/App-2' '" + root + "/App-3'").c_str());
    const std::string log = root + "/log";
    const long long whole =
        run_ms("'" + g_dir + "/relauncher' --log '" + log + "' --wait-pid 4194303 --replace '" +
               root + "/App' --with '" + root + "/App-2'");
    std::ifstream logged(log);
    const std::string text((std::istreambuf_iterator<char>(logged)),
                           std::istreambuf_iterator<char>());
    const std::size_t at = text.find(" after_ms=", text.find(" replace target="));
    const long swap_ms = at == std::string::npos ? -1 : std::atol(text.c_str() + at + 10);
    const long long copy = run_ms("cp -a '" + root + "/App-3/.' '" + root + "/App/'");
    std::printf("| %d | %ld | %lld | %lld |\n", count, swap_ms, whole, copy);
  }
  (void)std::system(("rm -rf '" + g_dir + "/bench-swap'").c_str());
}

// The wall clock in ms, as the log stamps its lines.
long long wall_ms() {
  struct timespec now {};
  (void)clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The log line's time (`...T09:14:48.975Z`) in ms of the day.
long long ms_of_day(const std::string& stamp) {
  const std::size_t t = stamp.find('T');
  if (t == std::string::npos || stamp.size() < t + 13) {
    return -1;
  }
  return ((std::atoll(stamp.c_str() + t + 1) * 60 + std::atoll(stamp.c_str() + t + 4)) * 60 +
          std::atoll(stamp.c_str() + t + 7)) *
             1000 +
         std::atoll(stamp.c_str() + t + 10);
}

// From the application's end to the new version in place (the log's `replace target=`
// line), for a version of `count` files unpacked (written, not flushed, as unzip leaves it)
// `before_s` seconds before the application ends.
long long time_to_swap(const std::string& tool, int count, const char* before_s) {
  const std::string root = g_dir + "/bench-flush";
  (void)std::system(("rm -rf '" + root + "' && sync").c_str());
  make_version_folder(root + "/App", count);
  (void)std::system("sync");  // the installed version is on the disk
  make_version_folder(root + "/App-2", count);
  const pid_t app = fork();
  if (app == 0) {
    execl("/bin/sleep", "sleep", before_s, static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string log = root + "/log";
  const pid_t swap = fork();
  if (swap == 0) {
    execl(tool.c_str(), tool.c_str(), "--log", log.c_str(), "--wait-pid",
          std::to_string(app).c_str(), "--replace", (root + "/App").c_str(), "--with",
          (root + "/App-2").c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  (void)waitpid(app, &status, 0);
  const long long ended = wall_ms() % 86400000;
  (void)waitpid(swap, &status, 0);
  std::ifstream logged(log);
  long long in_place = -1;
  for (std::string line; std::getline(logged, line);) {
    if (line.find(" replace target=") != std::string::npos) {
      in_place = ms_of_day(line);
    }
  }
  (void)std::system(("rm -rf '" + root + "'").c_str());
  return in_place < 0 ? -1 : std::max(0LL, in_place - ended);
}

// What putting a renamed new version on the disk costs the user.
void measure_flush_cost(const std::string& tool) {
  std::printf(
      "\nA renamed new version put on the disk: from the application's end to the new version "
      "in place (%s)\n\n| files | unpacked 5 s before the end, ms | unpacked just before, ms "
      "|\n|---:|---:|---:|\n",
      tool.c_str());
  for (const int count : {1000, 10000, 50000}) {
    std::printf("| %d | %lld | %lld |\n", count, time_to_swap(tool, count, "5"),
                time_to_swap(tool, count, "0"));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self = argv[0];
  g_dir = self.find('/') == std::string::npos ? "." : self.substr(0, self.find_last_of('/'));
  if (argc > 2 && std::string(argv[1]) == "victim") {
    return run_victim(std::atoi(argv[2]));
  }
  if (argc > 1 && std::string(argv[1]) == "swap") {
    measure_swap();
    return 0;
  }
  // Another build of relauncher may be named, to compare.
  if (argc > 1 && std::string(argv[1]) == "flush") {
    measure_flush_cost(argc > 2 ? argv[2] : g_dir + "/relauncher");
    return 0;
  }
  if (argc > 1 && std::string(argv[1]) == "verified") {
    measure_verified_start();
    return 0;
  }
  if (argc > 2 && std::string(argv[1]) == "helper") {
    char byte;
    return static_cast<int>(read(std::atoi(argv[2]), &byte, 1) < 0);
  }
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  // The bench's own copy in a folder of its own stands in for the application.
  (void)std::system(("mkdir -p '" + g_dir + "/bench-app' && cp '" + self + "' '" + g_dir +
                     "/bench-app/bench_linux'")
                        .c_str());
  std::vector<Contestant> contestants = {
      {"relauncher --wait-pid", {g_dir + "/relauncher", "--wait-pid"}, true, false, {}, {}, {}},
      {"limit: pidfd + poll + posix_spawn",
       {g_dir + "/minimal_waiter_linux"},
       false,
       false,
       {},
       {},
       {}},
      {"relauncher --wait-pid, polling (no pidfd)",
       {g_dir + "/relauncher", "--wait-pid"},
       true,
       true,
       {},
       {},
       {}},
      {"relauncher --wait-pid --wait-folder",
       {g_dir + "/relauncher", "--wait-pid"},
       true,
       false,
       {"--wait-folder", g_dir + "/bench-app"},
       {},
       {}},
  };
  std::mt19937 random(20261207);
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < contestants.size(); ++i) {
      Contestant& contestant = contestants[round % 2 == 0 ? i : contestants.size() - 1 - i];
      if (!measure(contestant, random)) {
        std::fprintf(stderr, "%s: the marker did not run\n", contestant.name);
        return 1;
      }
    }
  }
  const double limit = percentile(contestants[1].latency_ms, 0.5);
  const double limit_kib = percentile(contestants[1].peak_kib, 0.5);
  std::printf(
      "Linux hand-over latency: from the application's last moment to the program's first\n"
      "(%d rounds each)\n\n| waiter | median ms | p90 ms | median / limit | peak memory KiB |\n"
      "|---|---:|---:|---:|---:|\n",
      rounds);
  for (const Contestant& c : contestants) {
    const double median = percentile(c.latency_ms, 0.5);
    const double kib = percentile(c.peak_kib, 0.5);
    std::printf("| %s | %.3f | %.3f | %.2fx | %.0f (%.2fx) |\n", c.name, median,
                percentile(c.latency_ms, 0.9), median / limit, kib, kib / limit_kib);
  }
  measure_folder_wait_cost();
  measure_verified_start();
  measure_swap();
  measure_flush_cost(g_dir + "/relauncher");
  return 0;
}

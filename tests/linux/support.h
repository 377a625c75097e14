#pragma once

// Helpers for the native tests: the built tool, run for real, and copies of the probe
// program that stand in for applications and installers.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace test {

// The folder holding the test program, relauncher and probe.
std::string build_dir();
std::string tool_path();

// A fresh folder under the temporary folder, removed with its files at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::optional<std::string> read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes, unsigned mode = 0644);

// A copy of the probe in `dir` under `name`; returns its path.
std::string copy_probe(const TempDir& dir, const std::string& name);

// What a probe wrote about itself (see probe.cpp); absent until it has started.
struct ProbeRecord {
  pid_t pid = 0;
  pid_t sid = 0;
  long long start = 0;
  std::string ignored, blocked;  // SigIgn and SigBlk, hexadecimal
  std::string fds;               // descriptors above 2, comma-separated
  std::string streams;           // what descriptors 0 to 2 are: links, or "closed"
  std::string verified_path;     // RELAUNCHER_VERIFIED_PATH, or "unset"
  std::string outcome, outcome_exit_code;
  std::vector<std::string> args;
};
std::optional<ProbeRecord> probe_started(const std::string& probe);
std::optional<long long> probe_ended(const std::string& probe);
// The record once it exists, within `ms`.
std::optional<ProbeRecord> wait_until_started(const std::string& probe, int ms = 2000);
void forget_records(const std::vector<std::string>& probes);

// PROBE_<file name>_<key> in this process's environment, which the tool and what it
// starts inherit; an empty value removes it.
void set_probe(const std::string& probe, const std::string& key, const std::string& value);

// Starts a probe that sleeps `sleep_ms`; the caller waits for it with finish().
pid_t start_probe(const std::string& probe, unsigned sleep_ms);

// Waits for a child and returns its exit code as a shell reports it (128 + a signal).
int finish(pid_t child);

struct ToolRun {
  pid_t pid = 0;
  int exit_code = -1;
  std::string error_output;
};

// Runs relauncher with `args` and waits for it; `in_child` runs in the new process just
// before it becomes relauncher (to leak a descriptor, block a signal, add a filter...).
ToolRun run_tool(const std::vector<std::string>& args,
                 const std::function<void()>& in_child = {}, const std::string& tool = {});

// The same without waiting; the caller finishes it.
pid_t start_tool(const std::vector<std::string>& args,
                 const std::function<void()>& in_child = {}, const std::string& tool = {});

// An `in_child` that loads the tests' file-call seam (libfile_calls.so) into relauncher,
// told `variable`=`value` (which call to fail, where to log the calls, when to end).
std::function<void()> with_file_seam(const std::string& variable, const std::string& value);

// A pid that no process has, within the range the kernel hands out.
std::string absent_pid();

void pause_for_ms(long ms);

// Makes system call `number` fail with `error` for this process and what it execs, as a
// container's seccomp filter or an old kernel would. For a child about to exec.
void refuse_system_call(long number, int error);

// Waits until the file holds `text`, within `ms`; true when it does.
bool wait_for_text(const std::string& file, const std::string& text, int ms = 10000);

// A file's SHA-256 as coreutils' sha256sum computes it; empty when it cannot.
std::string sha256sum(const std::string& file);

// Lines of a log file.
std::vector<std::string> lines_of(const std::string& text);

}  // namespace test

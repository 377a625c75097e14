#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/system_text.h"
namespace relauncher {

// --sha256 <digest>:<file>: a file the updater verified, which must still have that
// digest when relauncher holds it.
struct VerifiedFile {
  std::string sha256;  // 64 hexadecimal digits, lower-cased
  SystemText file;     // as given; made full (and canonical) once the options are read
  SystemText given;    // as given, for the log
};

// What the command line asks for. Texts are owned copies; the program and its
// arguments keep the bytes exactly as the C runtime delivered them.
struct LaunchOptions {
  std::int64_t wait_pid = 0;
  std::optional<SystemText> relaunch_app;  // present even when empty
  std::vector<std::string> relaunch_args;      // --relaunch-arg, in the order given
  std::string program;
  std::vector<std::string> program_args;
  bool elevate = false;    // --elevate: run the program elevated if Windows demands it
  bool verbatim = false;   // --verbatim: the program's arguments go on its line unquoted
  bool wait_tree = false;  // --wait-tree: wait for every process the program starts
  std::uint32_t wait_timeout_s = 0;  // --wait-timeout; 0: wait as long as it takes
  bool bad_wait_timeout = false;     // a --wait-timeout value that is not 1 to 86400
  // --wait-folder: no process may run from these when the program starts. As given
  // here; the run replaces them by their canonical paths once it has checked them.
  std::vector<SystemText> wait_folders;
  std::vector<SystemText> wait_folders_given;  // as given, for the log's lines
  // Files whose processes are waited for as the folders' are: a --replace file target.
  std::vector<SystemText> wait_files;
  bool end_folder_processes = false;  // --end-folder-processes: end those left at the timeout
  bool relaunch_on_failure = false;   // --relaunch-on-failure: relaunch whatever the outcome
  std::vector<std::uint32_t> success_codes;  // --success-code: success beside 0
  std::vector<std::uint32_t> retry_codes;    // --retry-code: start the program again after these
  std::uint32_t retry_for_s = 0;             // --retry-for: how long retries may go on; 0: none
  bool bad_retry = false;  // a --retry-code that is not 1 to 4294967295, or a bad --retry-for
  std::optional<SystemText> progress_text;  // --progress: the window's text
  bool hold_shutdown = false;  // --hold-shutdown: hold off a shutdown while the window is up
  std::vector<VerifiedFile> verified_files;  // --sha256, in the order given
  bool bad_sha256 = false;  // a --sha256 that is not <64 hexadecimal digits>:<file>
  bool bad_value = false;  // an empty --wait-folder, or a --success-code that is no exit code
  // --replace <target> --with <new>: the new version put in place after the waits. Made
  // absolute once the options are read.
  std::optional<SystemText> replace_target;
  std::optional<SystemText> replace_with;
  SystemText replace_target_given, replace_with_given;  // as the caller wrote them
  bool replace_twice = false;  // --replace or --with given more than once
  std::uint32_t trial_s = 0;   // --trial: the relaunched new version watched this long
  bool bad_trial = false;      // a --trial that is not 1 to 600, or without --replace/--relaunch
  bool valid = false;
};

// Reads `--wait-pid <pid> [--relaunch <app>] -- <program> [args...]`, and the further
// options `--log <file>` (see log_file_option), `--wait-timeout <seconds>`,
// `--relaunch-arg <arg>`, `--wait-folder <dir>`, `--success-code <n>` and
// `--progress <text>`, and the words `--elevate`, `--verbatim`, `--wait-tree`,
// `--end-folder-processes`, `--relaunch-on-failure` and `--hold-shutdown`, which take
// no value.
// Lenient: a malformed command line only leaves fields at their defaults and `valid`
// false. Throws std::system_error when the relaunch path is not valid text in the file
// system's code page.
LaunchOptions parse_options(const std::vector<std::string>& args);

// Ending processes with no bound on the wait would end them at once.
bool ends_without_bound(const LaunchOptions& options);

// Retries need both their codes and their bound, and a code cannot be both a success
// and a reason to try again.
bool retry_unusable(const LaunchOptions& options);

// The pause before the next start, in seconds, when the program's exit code asks for a
// retry: 5, then 10, 20, 40, and 60 from then on (`retries_done` is how many starts
// already followed such an exit). None when the code is not a --retry-code, or when the
// pause would end more than --retry-for after the first such exit (`since_first_ms` ago).
std::optional<std::uint32_t> retry_pause_s(const LaunchOptions& options, std::int32_t exit_code,
                                           std::uint64_t since_first_ms, int retries_done);

// An empty window says nothing; holding a shutdown off needs a window to say why.
bool progress_unusable(const LaunchOptions& options);

// The path given by the last `--log <file>` before "--", converted like the relaunch
// path. Absent when there is none, when it is empty, or when it is not valid text in
// the file system's code page: a log never makes the command line unusable. Read on
// its own, before the options, so that even an unusable command line can be logged.
std::optional<SystemText> log_file_option(const std::vector<std::string>& args);

// Where in `args` that --log value stands; absent when there is none.
std::optional<std::size_t> log_value_index(const std::vector<std::string>& args);

// Decimal text to a process id: an optional minus sign, then the longest run of
// digits; anything after it is ignored. No digits, or a value outside the signed
// 64-bit range, gives 0.
std::int64_t parse_pid(const std::string& text);

// Whole seconds for --wait-timeout, read strictly: decimal digits only, 1 to 86400
// (a day). Anything else is absent.
std::optional<std::uint32_t> parse_wait_timeout(const std::string& text);

// An exit code for --success-code: decimal digits only, 0 to 4294967295 (all 32 bits,
// as the program's exit code is read). Anything else is absent.
std::optional<std::uint32_t> parse_exit_code(const std::string& text);

// A --sha256 value: 64 hexadecimal digits of either case, a colon (the first one: the
// path may hold more), and a path that is not empty. Absent otherwise.
std::optional<VerifiedFile> parse_verified_file(const std::string& text);

constexpr std::uint32_t max_wait_timeout_s = 86400;
constexpr std::uint32_t max_trial_s = 600;

// --replace and --with need each other; each may be given once.
bool replace_unpaired(const LaunchOptions& options);

}  // namespace relauncher

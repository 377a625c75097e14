#pragma once

// The details of each log event, worded for people and fixed for scripts: values as
// key=value, an error as `error <code> (<system message>)`, and a command line always
// last, running to the end of the line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "driver/options.h"
#include "process/folder_wait.h"
#include "process/process.h"
#include "progress/progress.h"

namespace relauncher {

// Enough processes named to tell what held a wait; the rest only as a count.
constexpr std::size_t most_processes_named = 20;

std::string describe_start(const std::string& version, const SystemText& folder,
                           const SystemText& command_line);
std::string describe_usage(const LaunchOptions& options);
std::string describe_wait(std::int64_t pid, const WaitReport& report, std::uint64_t waited_ms,
                          std::uint32_t timeout_s = 0);
// The folder wait: how many folders and processes, how long, how it ended.
std::string describe_folder_wait(const FolderWaitReport& report, std::size_t folders,
                                 std::uint64_t waited_ms);
// One process left running from the folders when time ran out, and what became of it.
std::string describe_folder_process(const FolderProcess& process);
// With --wait-tree, what is still waited for once the program itself has ended.
std::string describe_tree_left(const std::vector<TreeMember>& installer);
// The progress window: shown after how long, or why not.
std::string describe_progress(const ProgressReport& report);
// Leaving the caller's job: the copy that does the work, or why relauncher stayed.
std::string describe_job_left(std::uint32_t copy_pid, bool session);
std::string describe_session_left();
std::string describe_console_left();
std::string describe_job_refused(std::uint32_t error, bool limits_unknown);
std::string describe_copy_still_in_job();
std::string describe_service_stayed();
std::string describe_start_report(const StartReport& report, const std::string& program,
                                  const std::string& note = "");
// The program's start, and what became of a demand for elevation.
std::string describe_run(const RunReport& report, const std::string& program, bool elevate,
                         int attempt = 1);
std::string describe_elevated_run(const ElevatedRun& run);
// With --wait-tree, also what was waited for: the whole tree, or the program alone and why.
std::string describe_exit(std::int32_t exit_code, int signal, std::uint64_t ran_ms,
                          const std::optional<TreeWait>& tree = std::nullopt);
std::string describe_exit_code(std::int32_t exit_code);

// The 32 bits of a code as eight hexadecimal digits: "0xC0000005".
std::string describe_hex(std::int32_t value);
std::string describe_error(std::uint32_t error);

}  // namespace relauncher

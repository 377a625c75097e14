#include "driver/application_wait.h"

#include "driver/log_events.h"
#include "files/paths.h"
#include "files/system.h"
#include "process/command_line.h"
#include "process/folder_wait.h"
#include "process/process.h"

namespace relauncher {

namespace {

void log_left_behind(const std::vector<FolderProcess>& left, const LogFile& log) {
  for (std::size_t i = 0; i < left.size() && i < most_processes_named; ++i) {
    log_event(log, "wait", [&] { return describe_folder_process(left[i]); });
  }
  if (left.size() > most_processes_named) {
    log_event(log, "wait", [&] {
      return "and " + std::to_string(left.size() - most_processes_named) + " more";
    });
  }
}

// The folders whose processes may be ended: those that hold the application, by its
// running executable or by the path it is relaunched from. Any other is only waited
// for, whatever it is: a list of folders never to end in would always miss one.
std::vector<SystemText> endable_folders(const LaunchOptions& options,
                                            const SystemText& application_image,
                                            const LogFile& log) {
  SystemText relaunch_image;
  if (options.relaunch_app) {
    relaunch_image = canonical_path(*options.relaunch_app).value_or(SystemText());
  }
  std::vector<SystemText> endable;
  for (std::size_t i = 0; i < options.wait_folders.size(); ++i) {
    const SystemText& folder = options.wait_folders[i];
    if (folder_holds(folder, application_image) || folder_holds(folder, relaunch_image)) {
      endable.push_back(folder);
      continue;
    }
    log_event(log, "wait", [&] {
      return "folder=\"" + log_text(options.wait_folders_given[i]) +
             "\" holds neither the application nor the --wait-pid process: waited for, never "
             "ended";
    });
  }
  return endable;
}

}  // namespace

bool paths_fit_system(const LaunchOptions& options, const LogFile& log) {
  std::vector<SystemText> paths = options.wait_folders;
  if (options.relaunch_app && (options.wait_tree || options.end_folder_processes)) {
    paths.push_back(*options.relaunch_app);
  }
  for (const SystemText& path : paths) {
    if (!path_fits_system(path)) {
      log_event(log, "usage", [&] {
        return std::string("a path has ") + path_limits_explained + ": \"" + log_text(path) +
               "\"";
      });
      return false;
    }
  }
  return true;
}

bool wait_for_application_folders(const LaunchOptions& options,
                                  const SystemText& application_image, std::uint64_t began,
                                  const LogFile& log) {
  if (options.wait_folders.empty() && options.wait_files.empty()) {
    return true;
  }
  // Told when the wait comes, not while the line is read: a line refused later must log
  // nothing but its start before its usage line.
  for (std::size_t i = 0; i < options.wait_folders.size(); ++i) {
    if (!folder_exists(options.wait_folders[i])) {
      log_event(log, "wait", [&] {
        return "folder=\"" + log_text(options.wait_folders_given[i]) +
               "\" does not exist: nothing can run from it";
      });
    }
  }
  FolderWaitSettings settings;
  settings.folders = options.wait_folders;
  settings.files = options.wait_files;
  settings.end_left_behind = options.end_folder_processes;
  if (options.end_folder_processes) {
    settings.endable_folders = endable_folders(options, application_image, log);
  }
  settings.spared_pid = options.wait_pid;
  const std::uint64_t started = steady_milliseconds();
  if (options.wait_timeout_s != 0) {
    // One bound for both waits: what the first one used is gone.
    const std::uint64_t bound = std::uint64_t{options.wait_timeout_s} * 1000;
    const std::uint64_t used = started - began;
    settings.timeout_ms = static_cast<std::uint32_t>(used < bound ? bound - used : 0);
  }
  const FolderWaitReport report = wait_for_folders(settings);
  const std::uint64_t waited_ms = steady_milliseconds() - started;
  log_event(log, "wait",
            [&] { return describe_folder_wait(report, options.wait_folders.size(), waited_ms); });
  log_left_behind(report.left, log);
  return report.outcome != FolderWaitOutcome::gave_up;
}

std::optional<std::vector<SystemText>> resolve_wait_folders(
    const std::vector<SystemText>& folders, const LogFile& log) {
  std::vector<SystemText> resolved;
  for (const SystemText& folder : folders) {
    const std::optional<SystemText> canonical = canonical_path(folder);
    if (!canonical || folder_too_broad(*canonical)) {
      log_event(log, "usage", [&] {
        return "--wait-folder \"" + log_text(folder) + "\" is not a folder of its own: " +
               too_broad_explained;
      });
      return std::nullopt;
    }
    resolved.push_back(*canonical);
  }
  return resolved;
}

WaitReport wait_for_application_process(const LaunchOptions& options, const LogFile& log) {
  const std::uint64_t began = steady_milliseconds();
  const WaitReport wait = wait_for_process(options.wait_pid, options.wait_timeout_s);
  const std::uint64_t waited_ms = steady_milliseconds() - began;
  log_event(log, "wait", [&] {
    return describe_wait(options.wait_pid, wait, waited_ms, options.wait_timeout_s);
  });
  return wait;
}

}  // namespace relauncher

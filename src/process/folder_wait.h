#pragma once

// Waiting until no process runs from the application's folders, so that the installer
// finds none of its files open; and, when asked, ending the ones that stay too long.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "files/system_text.h"

namespace relauncher {

// A process found running from one of the folders, and what became of it once the
// wait's time had run out.
struct FolderProcess {
  enum class Fate {
    running,        // left running: ending was not asked for, or not allowed
    ended,          // ended by the tool, and gone
    other_session,  // another session's: waited for, never ended
    other_user,     // Linux: another user's, waited for, never ended
    not_ended,      // TerminateProcess failed; `error` says why
    still_running,  // ended by the tool, but still there when the grace time ran out
  };
  std::uint32_t pid = 0;
  SystemText image;  // its executable's full path, as the system reports it
  Fate fate = Fate::running;
  std::uint32_t error = 0;
};

struct FolderWaitSettings {
  std::vector<SystemText> folders;      // canonical (see canonical_path)
  std::optional<std::uint32_t> timeout_ms;  // none: as long as it takes
  bool end_left_behind = false;             // end what still runs when time runs out
  // With end_left_behind, the folders whose processes may be ended (canonical): a
  // process from the other folders is waited for and never ended.
  std::vector<SystemText> endable_folders;
  std::int64_t spared_pid = 0;              // never ended: the application's own process
  // Files (canonical) whose processes are waited for as those of the folders, and may be
  // ended with them: a --replace target that is one file (an AppImage, an executable).
  std::vector<SystemText> files;
};

// Whether a process whose image is `image` (as comparable as the settings' paths) is one
// the wait is for, and one it may end.
bool is_waited_for(const FolderWaitSettings& settings, const SystemText& image);
bool may_be_ended(const FolderWaitSettings& settings, const SystemText& image);

enum class FolderWaitOutcome {
  free,     // a look found no process running from the folders
  gave_up,  // time ran out with some still running (and, if asked, not all ended)
  ended,    // time ran out, and every one left was ended
};

struct FolderWaitReport {
  FolderWaitOutcome outcome = FolderWaitOutcome::free;
  std::size_t processes = 0;        // distinct processes found running from the folders
  std::size_t unreadable = 0;       // distinct processes whose image could not be read
  std::vector<FolderProcess> left;  // those still running when time ran out
  // Linux: why processes were found without pidfds, and so polled and never ended.
  std::uint32_t no_pidfd_error = 0;
};

// Blocks until a look finds no process whose image lies in one of the folders, apart
// from the tool itself and a copy of the tool that started it. Looks again as soon as
// the last of those found has ended, and once a second, so that a process started
// meanwhile is waited for too; a look opens only processes it has not met before.
FolderWaitReport wait_for_folders(const FolderWaitSettings& settings);

}  // namespace relauncher

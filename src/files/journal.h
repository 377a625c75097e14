#pragma once

// The swap's journal, `<target>.relauncher-journal`: what the running update has done so
// far, so that a run that finds it (its writer ended, killed or cut off) knows which
// version stands where and whether the update was accepted. One `key=value` line each,
// in UTF-8; each write replaces the whole file in one rename, flushed.

#include <cstdint>
#include <optional>
#include <string>

#include "files/swap.h"

namespace relauncher {

enum class JournalPhase {
  bringing,     // the new version is being brought beside the target
  beside,       // it stands whole at <target>.relauncher-new
  swapped,      // it stands at the target, the old one at <target>.relauncher-old
  program,      // and the program after -- runs
  trial,        // and the relaunched new version is on trial
  accepted,     // the update holds: only the backup is left to remove
  rolled_back,  // the old version was put back
};

struct Journal {
  std::uint32_t pid = 0;
  std::uint64_t process_start = 0;
  std::string date;   // UTC, ISO 8601
  SystemText target;  // absolute
  SystemText with;
  SystemText target_given;  // as the caller wrote them, for whoever reads the journal
  SystemText with_given;
  Swap swap;  // the kind, how, whether --with was moved, the versions' identities
  JournalPhase phase = JournalPhase::bringing;
};

// A journal for this run, this swap and this phase (`given`: the paths as the caller wrote
// them).
Journal make_journal(const SwapNames& names, const SwapNames& given, const Swap& swap,
                     JournalPhase phase);

std::string format_journal(const Journal& journal);
// Absent when the text is not a whole journal of a format this version knows.
std::optional<Journal> parse_journal(const std::string& text);

const char* phase_name(JournalPhase phase);

FileStep write_journal(const SwapNames& names, const Journal& journal);

}  // namespace relauncher

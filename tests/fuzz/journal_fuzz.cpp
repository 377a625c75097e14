// The swap's journal reader, on any file an earlier run (or a disk that lost part of it)
// left: it never fails on what it reads, and a journal it accepts is written back to the
// very same journal, so that what the next run acts on is what the text said.
#include <cstddef>
#include <cstdint>
#include <string>

#include "files/journal.h"
#include "fuzz_input.h"

namespace {

bool same(const relauncher::Journal& one, const relauncher::Journal& other) {
  const relauncher::Swap& a = one.swap;
  const relauncher::Swap& b = other.swap;
  return one.pid == other.pid && one.process_start == other.process_start &&
         one.date == other.date && one.target == other.target && one.with == other.with &&
         one.phase == other.phase && a.folder == b.folder && a.had_target == b.had_target &&
         a.how == b.how && a.with_moved == b.with_moved && a.ids.old_version == b.ids.old_version &&
         a.ids.new_version == b.ids.new_version;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<relauncher::Journal> journal = relauncher::parse_journal(text);
  if (!journal) {
    return 0;
  }
  const std::optional<relauncher::Journal> again =
      relauncher::parse_journal(relauncher::format_journal(*journal));
  fuzz::require(again.has_value() && same(*journal, *again));
  return 0;
}

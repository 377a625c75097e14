#include "files/journal.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <map>

#include "files/swap_internal.h"
#include "files/system.h"

namespace relauncher {

namespace {

constexpr const char* format_version = "1";

const char* const phase_names[] = {"bringing", "beside",   "swapped",    "program",
                                   "trial",    "accepted", "rolled-back"};

// A path on one line: a line break, a carriage return and the escape itself escaped.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '%' || c == '\n' || c == '\r') {
      char code[4];
      std::snprintf(code, sizeof code, "%%%02X", static_cast<unsigned char>(c));
      out += code;
    } else {
      out += c;
    }
  }
  return out;
}

// Digits only, in `base`, that fit 64 bits; nothing else (no sign, no blank).
std::optional<std::uint64_t> number_from(const std::string& text, unsigned base) {
  std::uint64_t value = 0;
  for (const char c : text) {
    const unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                           : c >= 'A' && c <= 'F' ? static_cast<unsigned>(c - 'A' + 10)
                                                  : base;
    if (digit >= base || value > (UINT64_MAX - digit) / base) {
      return std::nullopt;
    }
    value = value * base + digit;
  }
  return text.empty() ? std::nullopt : std::optional<std::uint64_t>(value);
}

std::optional<std::string> unescaped(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const std::optional<std::uint64_t> code = number_from(text.substr(i + 1, 2), 16);
    if (!code || i + 2 >= text.size()) {
      return std::nullopt;
    }
    out += static_cast<char>(*code);
    i += 2;
  }
  return out;
}

std::string id_text(const std::optional<FileId>& id) {
  return id ? std::to_string(id->volume) + ":" + std::to_string(id->index) : "none";
}

// "none", or the volume and the index; absent inside when the text is neither.
std::optional<std::optional<FileId>> id_from(const std::string& text) {
  const std::size_t colon = text.find(':');
  if (text == "none") {
    return std::optional<FileId>();
  }
  const std::optional<std::uint64_t> volume =
      colon == std::string::npos ? std::nullopt : number_from(text.substr(0, colon), 10);
  const std::optional<std::uint64_t> index =
      colon == std::string::npos ? std::nullopt : number_from(text.substr(colon + 1), 10);
  if (!volume || !index) {
    return std::nullopt;
  }
  return std::optional<FileId>(FileId{*volume, *index});
}

const char* how_name(Swap::How how) {
  return how == Swap::How::exchange ? "exchange" : how == Swap::How::copied ? "copied" : "renamed";
}

// Which version each sibling holds in a phase, for whoever reads the journal.
std::string holdings(const Journal& journal) {
  const bool swapped = journal.phase != JournalPhase::bringing &&
                       journal.phase != JournalPhase::beside &&
                       journal.phase != JournalPhase::rolled_back;
  const char* old_name = journal.swap.had_target ? "old" : "none";
  const bool beside = journal.phase == JournalPhase::beside;
  return std::string("at_target=") + (swapped ? "new" : old_name) + "\n" +
         "at_relauncher_old=" + (swapped ? old_name : "none") + "\n" +
         "at_relauncher_new=" + (beside ? "new" : "none") + "\n";
}

std::string utc_now() {
  const std::time_t now = std::time(nullptr);
  // Days to a civil date (the proleptic Gregorian calendar), without gmtime's static buffer.
  const long long days = static_cast<long long>(now) / 86400;
  const long long seconds = static_cast<long long>(now) % 86400;
  const long long z = days + 719468;
  const long long era = z / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long day = doy - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ", year, month, day,
                seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

}  // namespace

const char* phase_name(JournalPhase phase) { return phase_names[static_cast<int>(phase)]; }

Journal make_journal(const SwapNames& names, const SwapNames& given, const Swap& swap,
                     JournalPhase phase) {
  return {own_process_id(), own_start_time(), utc_now(), names.target, names.with,
          given.target,     given.with,       swap,      phase};
}

std::string format_journal(const Journal& journal) {
  const Swap& swap = journal.swap;
  return std::string("relauncher-journal=") + format_version + "\n" +
         "pid=" + std::to_string(journal.pid) + "\n" +
         "process_start=" + std::to_string(journal.process_start) + "\n" + "date=" + journal.date +
         "\n" + "target=" + escaped(log_text(journal.target)) + "\n" +
         "with=" + escaped(log_text(journal.with)) + "\n" +
         "target_given=" + escaped(log_text(journal.target_given)) + "\n" +
         "with_given=" + escaped(log_text(journal.with_given)) + "\n" +
         "kind=" + (swap.folder ? "folder" : "file") + "\n" +
         "had_target=" + (swap.had_target ? "yes" : "no") + "\n" + "how=" + how_name(swap.how) +
         "\n" + "with_moved=" + (swap.with_moved ? "yes" : "no") + "\n" +
         "phase=" + phase_name(journal.phase) + "\n" + "old_id=" + id_text(swap.ids.old_version) +
         "\n" + "new_id=" + id_text(swap.ids.new_version) + "\n" + holdings(journal) + "end=1\n";
}

std::optional<Journal> parse_journal(const std::string& text) {
  std::map<std::string, std::string> values;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    if (end == std::string::npos) {
      return std::nullopt;  // cut short: every line ends with a line break
    }
    const std::string line = text.substr(start, end - start);
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) {
      values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    start = end + 1;
  }
  for (const char* key : {"pid", "process_start", "date", "target", "with", "kind", "had_target",
                          "how", "with_moved", "phase", "old_id", "new_id"}) {
    if (values.count(key) == 0) {
      return std::nullopt;
    }
  }
  if (values["relauncher-journal"] != format_version || values["end"] != "1") {
    return std::nullopt;
  }
  const std::optional<std::uint64_t> pid = number_from(values["pid"], 10);
  const std::optional<std::uint64_t> started = number_from(values["process_start"], 10);
  const std::optional<std::string> target = unescaped(values["target"]);
  const std::optional<std::string> with = unescaped(values["with"]);
  const std::optional<std::optional<FileId>> old_id = id_from(values["old_id"]);
  const std::optional<std::optional<FileId>> new_id = id_from(values["new_id"]);
  if (!pid || *pid > UINT32_MAX || !started || !target || !with || !old_id || !new_id) {
    return std::nullopt;
  }
  Journal journal;
  journal.pid = static_cast<std::uint32_t>(*pid);
  journal.process_start = *started;
  journal.date = values["date"];
  journal.target = system_text_from_utf8(*target);
  journal.with = system_text_from_utf8(*with);
  // As the caller wrote them: for a reader, and not needed to restore anything.
  journal.target_given = system_text_from_utf8(unescaped(values["target_given"]).value_or(""));
  journal.with_given = system_text_from_utf8(unescaped(values["with_given"]).value_or(""));
  journal.swap.folder = values["kind"] == "folder";
  journal.swap.had_target = values["had_target"] == "yes";
  const std::string how = values["how"];
  journal.swap.how = how == "exchange" ? Swap::How::exchange
                     : how == "copied" ? Swap::How::copied
                                       : Swap::How::renamed;
  journal.swap.with_moved = values["with_moved"] == "yes";
  journal.swap.ids.old_version = *old_id;
  journal.swap.ids.new_version = *new_id;
  for (int phase = 0; phase <= static_cast<int>(JournalPhase::rolled_back); ++phase) {
    if (values["phase"] == phase_names[phase]) {
      journal.phase = static_cast<JournalPhase>(phase);
      return journal;
    }
  }
  return std::nullopt;
}

FileStep write_journal(const SwapNames& names, const Journal& journal) {
  return write_file_atomically(names.journal, format_journal(journal));
}

}  // namespace relauncher

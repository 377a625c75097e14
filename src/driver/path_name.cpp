#include "driver/path_name.h"

namespace relauncher {

namespace {

bool is_separator(char16_t unit) {
  return unit == u'\\' || unit == u'/';
}

bool is_drive_letter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

// "\\?\", "\\.\" and "\??\": the prefixes that hand a path to the object manager.
bool has_device_prefix(const std::u16string& path) {
  if (path.size() < 4 || !is_separator(path[3]) || (path.size() > 4 && is_separator(path[4]))) {
    return false;
  }
  const bool separator_then_mark = is_separator(path[1]) && (path[2] == u'?' || path[2] == u'.');
  const bool two_question_marks = path[1] == u'?' && path[2] == u'?';
  return separator_then_mark || two_question_marks;
}

}  // namespace

std::size_t root_name_length(const std::u16string& path) {
  if (path.size() < 2) {
    return 0;
  }
  if (is_drive_letter(path[0]) && path[1] == u':') {
    return 2;
  }
  if (!is_separator(path[0])) {
    return 0;
  }
  if (has_device_prefix(path)) {
    return 3;
  }
  if (path.size() >= 3 && is_separator(path[1]) && !is_separator(path[2])) {
    // A network name: "\\server" up to the separator before the share.
    std::size_t end = 3;
    while (end < path.size() && !is_separator(path[end])) {
      ++end;
    }
    return end;
  }
  return 0;
}

std::u16string file_name_component(const std::u16string& path) {
  std::size_t start = root_name_length(path);
  while (start < path.size() && is_separator(path[start])) {
    ++start;
  }
  for (std::size_t i = path.size(); i > start; --i) {
    if (is_separator(path[i - 1])) {
      return path.substr(i);
    }
  }
  return path.substr(start);
}

std::u16string after_program_name(const std::u16string& command_line) {
  std::size_t end = 0;
  if (!command_line.empty() && command_line[0] == u'"') {
    end = command_line.find(u'"', 1);
    end = end == std::u16string::npos ? command_line.size() : end + 1;
  } else {
    end = command_line.find_first_of(u" \t");
    end = end == std::u16string::npos ? command_line.size() : end;
  }
  const std::size_t rest = command_line.find_first_not_of(u" \t", end);
  return rest == std::u16string::npos ? std::u16string() : command_line.substr(rest);
}

std::vector<std::u16string> split_arguments(const std::u16string& text) {
  std::vector<std::u16string> arguments;
  std::size_t i = 0;
  while (true) {
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) {
      ++i;
    }
    if (i >= text.size()) {
      return arguments;
    }
    std::u16string argument;
    bool quoted = false;
    for (; i < text.size() && (quoted || (text[i] != u' ' && text[i] != u'\t')); ++i) {
      std::size_t backslashes = 0;
      while (i < text.size() && text[i] == u'\\') {
        ++backslashes;
        ++i;
      }
      if (i < text.size() && text[i] == u'"') {
        argument.append(backslashes / 2, u'\\');
        if (backslashes % 2 == 1) {
          argument += u'"';
        } else if (quoted && i + 1 < text.size() && text[i + 1] == u'"') {
          argument += u'"';
          ++i;
        } else {
          quoted = !quoted;
        }
        continue;
      }
      argument.append(backslashes, u'\\');
      if (i >= text.size() || (!quoted && (text[i] == u' ' || text[i] == u'\t'))) {
        break;
      }
      argument += text[i];
    }
    arguments.push_back(argument);
  }
}

}  // namespace relauncher

// The folder rules on canonical paths (the input read as UTF-16 units): a folder holds
// what lies below it and never a sibling whose name begins with its own; every parent
// of a refused folder is refused, and so is everything inside a folder refused with its
// contents. The Linux rules, on the input's bytes, keep the same properties.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "files/folder_path.h"
#include "fuzz_input.h"

namespace {

// Canonical: no "/" (made "\"), no empty component, no trailing separator.
std::u16string canonical(std::u16string text) {
  std::u16string out;
  for (char16_t unit : text) {
    unit = unit == u'/' ? u'\\' : unit;
    if (unit == u'\\' && (out.empty() || out.back() == u'\\')) {
      continue;
    }
    out += unit;
  }
  while (!out.empty() && out.back() == u'\\') {
    out.pop_back();
  }
  return out;
}

// The Linux rules on the input's bytes: the same properties, byte for byte, with "/" as
// the separator; and a path made absolute holds no "." or ".." and no empty name.
void check_linux_rules(const std::string& text) {
  const std::size_t split = text.find('|');
  const std::string folder = relauncher::lexically_absolute(text.substr(0, split), "/cwd");
  const std::string other = split == std::string::npos ? "x" : text.substr(split + 1);
  fuzz::require(folder[0] == '/' && (folder == "/" || folder.back() != '/'));
  fuzz::require(folder.find("//") == std::string::npos && folder.find("/./") == std::string::npos &&
                folder.find("/../") == std::string::npos);
  using relauncher::path_is_inside;
  fuzz::require(path_is_inside(folder, folder + "/x") && !path_is_inside(folder, folder));
  fuzz::require(folder == "/" || !path_is_inside(folder, folder + "x/y"));
  const relauncher::PosixProtectedFolders themselves{{}, {}, {folder}};
  for (std::size_t cut = folder.find('/', 1); cut != std::string::npos; cut = folder.find('/', cut + 1)) {
    fuzz::require(relauncher::folder_is_too_broad(folder.substr(0, cut), themselves));
  }
  // Inside a folder refused with its contents: refused, unless below an open folder.
  const relauncher::PosixProtectedFolders tree{{folder}, {}, {}};
  const std::string inside = relauncher::lexically_absolute(folder + "/" + (other.empty() ? "x" : other), "/");
  fuzz::require(!path_is_inside(folder, inside) || relauncher::folder_is_too_broad(inside, tree));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    units += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
  }
  const std::size_t split = units.find(u'|');
  const std::u16string folder = canonical(units.substr(0, split));
  const std::u16string other = canonical(split == std::u16string::npos ? u"" : units.substr(split + 1));
  if (folder.empty()) {
    return 0;
  }
  using relauncher::path_is_inside;
  fuzz::require(path_is_inside(folder, folder + u"\\x"));
  fuzz::require(path_is_inside(folder, folder + u"\\x\\y"));
  fuzz::require(!path_is_inside(folder, folder + u"x"));
  fuzz::require(!path_is_inside(folder, folder + u"x\\y"));
  fuzz::require(!path_is_inside(folder, folder));
  // A folder refused for itself: it and every parent are refused.
  const relauncher::ProtectedFolders themselves{{}, {folder}};
  for (std::size_t cut = 0; cut != std::u16string::npos; cut = folder.find(u'\\', cut + 1)) {
    if (cut > 0) {
      fuzz::require(relauncher::folder_is_too_broad(folder.substr(0, cut), themselves));
    }
  }
  fuzz::require(relauncher::folder_is_too_broad(folder, themselves));
  // Refused with its contents: whatever lies inside is refused too.
  const relauncher::ProtectedFolders tree{{folder}, {}};
  fuzz::require(relauncher::folder_is_too_broad(folder + u"\\" + (other.empty() ? u"x" : other), tree));
  check_linux_rules(std::string(data, data + size));
  return 0;
}

#include "files/file_id.h"

namespace relauncher {

bool is_same_file_as_one_of(const SystemText& path, const std::vector<SystemText>& others) {
  const std::optional<FileId> id = file_id(path);
  if (!id) {
    return false;
  }
  for (const SystemText& other : others) {
    if (file_id(other) == id) {
      return true;
    }
  }
  return false;
}

}  // namespace relauncher

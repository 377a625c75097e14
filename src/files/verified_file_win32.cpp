#include <windows.h>

#include <vector>

#include "files/native_win32.h"
#include "files/sha256.h"
#include "files/verified_file.h"

namespace relauncher {

HeldFile open_held_file(const SystemText& path, bool may_move) {
  HeldFile held;
  // Shared for reading only: a writer, a rename, a delete or a replacement all fail
  // with a sharing violation for as long as the handle is open.
  HANDLE file = CreateFileW(as_wide(path), GENERIC_READ | (may_move ? DELETE : 0), FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    held.error = GetLastError();
    return held;
  }
  // A console, a pipe or a device may never end or never answer: only a disk file.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    held.not_regular = true;
    (void)CloseHandle(file);  // nothing can be done if it fails
    return held;
  }
  held.id = file_id_of(reinterpret_cast<std::intptr_t>(file));
  held.handle = reinterpret_cast<std::intptr_t>(file);
  return held;
}

void hash_held_file(HeldFile& held, const std::atomic<bool>* stop) {
  if (held.handle == -1) {
    return;
  }
  HANDLE file = reinterpret_cast<HANDLE>(held.handle);
  Sha256 hash = sha256_start(Sha256Compression::fastest);
  std::vector<unsigned char> buffer(1 << 20);
  for (;;) {
    DWORD got = 0;
    if (stop != nullptr && stop->load()) {
      held.error = ERROR_OPERATION_ABORTED;
      release_file(held);
      return;
    }
    if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
      held.error = GetLastError();
      release_file(held);
      return;
    }
    if (got == 0) {
      break;
    }
    sha256_add(hash, buffer.data(), got);
  }
  held.sha256 = sha256_hex(hash);
}

HeldFile hold_file(const SystemText& path, bool may_move) {
  HeldFile held = open_held_file(path, may_move);
  hash_held_file(held);
  return held;
}

void release_file(HeldFile& file) {
  if (file.handle != -1) {
    (void)CloseHandle(reinterpret_cast<HANDLE>(file.handle));  // nothing to do on failure
    file.handle = -1;
  }
}

}  // namespace relauncher

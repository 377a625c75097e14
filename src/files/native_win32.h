#pragma once

// What the Windows files of every room share: UTF-16 text handed to the system, text
// read back from calls that fill a buffer, and paths compared as the file system does.

#include <windows.h>

#include <optional>
#include <string>

#include "files/folder_path.h"

namespace relauncher {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed as wchar_t");

inline const wchar_t* as_wide(const std::u16string& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// Text from a call that fills a buffer: `fill(buffer, capacity)` returns the length
// written, or the capacity needed when that is more than it had, or 0 on failure (the
// error left in GetLastError). The buffer grows until the text fits.
template <typename Fill>
std::optional<std::u16string> read_sized(Fill fill) {
  std::u16string text(MAX_PATH, u'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD length =
        fill(reinterpret_cast<wchar_t*>(&text[0]), static_cast<DWORD>(text.size()));
    if (length == 0) {
      return std::nullopt;
    }
    if (length < text.size()) {
      text.resize(length);
      return text;
    }
    text.assign(length + 1, u'\0');
  }
  return std::nullopt;
}

// A system DLL, from the system folder only, never from beside the tool (a download folder
// may hold anything). Stays loaded until the tool exits.
inline HMODULE system_module(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// A function of a loaded module, false when absent. GetProcAddress gives one generic
// function type; void(*)() converts to any other without a cast-function-type warning.
template <typename Function>
bool load(HMODULE module, const char* name, Function& function) {
  function =
      module == nullptr
          ? nullptr
          : reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
  return function != nullptr;
}

// The folders that a wait must never cover (canonical): the Windows folder with all it
// holds; the Program Files and common files folders, ProgramData, the public and the
// user's profile, the roaming and local application data (with LocalLow and the local
// Programs folder) and the temporary folder, themselves.
ProtectedFolders protected_folders();

// A full path as canonical_path gives it, without touching the file system: for the
// images of running processes, which Windows reports full and long already.
std::u16string comparable_form(const std::u16string& full_path);

}  // namespace relauncher

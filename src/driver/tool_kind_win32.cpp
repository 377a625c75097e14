#include "driver/tool_kind.h"

#include <windows.h>

namespace relauncher {

bool is_windowless_build() {
  const auto* image = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
  return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_GUI;
}

std::string unusable_on_this_system(const LaunchOptions&) {
  return {};
}

}  // namespace relauncher

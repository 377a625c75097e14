#include "driver/tool_kind.h"

namespace relauncher {

bool is_windowless_build() {
  return false;  // one build: a Linux program opens no window of its own
}

std::string unusable_on_this_system(const LaunchOptions& options) {
  std::string reasons;
  const auto add = [&](const char* reason) {
    reasons += std::string(reasons.empty() ? "" : "; ") + reason;
  };
  // No start fails for want of rights here the way Windows' does; a program that needs
  // them is run through pkexec, which asks.
  if (options.elevate) {
    add("--elevate has no meaning on this system: run the program through pkexec");
  }
  return reasons;
}

}  // namespace relauncher

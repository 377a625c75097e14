#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "driver/run.h"
#include "driver/tool_kind.h"

int main(int argc, char** argv) {
  try {
    std::optional<std::string> argv0;
    if (argc >= 1 && argv[0] != nullptr) {
      argv0 = argv[0];
    }
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
      args.emplace_back(argv[i]);
    }
    relauncher::ProgramSettings settings;
    settings.no_window = true;
    settings.null_standard_handles = !relauncher::is_windowless_build();
    return relauncher::run(args, argv0, stderr, settings);
  } catch (const std::exception&) {
    // Only running out of memory gets here. Without this the runtime would abort with
    // a message box; -1 says the program's outcome is unknown, which is not success.
    return -1;
  }
}

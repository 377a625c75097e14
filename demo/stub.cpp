// The stand-in application and installer of the hand-over demo.
//
//   stub.exe [--run-for MS]   the application: reports the version it finds, runs
//                             for MS milliseconds (0 when relaunched), exits
//   stub.exe --updated        the application as relaunched after an update
//   stub.exe install VERSION  the installer: writes the new version and exits 0
//
// Both append to handover.log in the folder named by HANDOVER_DEMO_DIR, which
// relauncher passes on to its children with the rest of the environment.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string demo_file(const char* name) {
  char dir[MAX_PATH] = ".";
  GetEnvironmentVariableA("HANDOVER_DEMO_DIR", dir, MAX_PATH);
  return std::string(dir) + "\\" + name;
}

std::string read_version() {
  char version[64] = "?";
  if (std::FILE* file = std::fopen(demo_file("version.txt").c_str(), "r")) {
    if (!std::fgets(version, sizeof(version), file)) {
      version[0] = '\0';
    }
    std::fclose(file);
  }
  version[std::strcspn(version, "\r\n")] = '\0';
  return version;
}

void log(const std::string& line) {
  if (std::FILE* file = std::fopen(demo_file("handover.log").c_str(), "a")) {
    std::fprintf(file, "%lu %s\n", static_cast<unsigned long>(GetTickCount()), line.c_str());
    std::fclose(file);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string pid = std::to_string(GetCurrentProcessId());
  if (argc == 3 && std::strcmp(argv[1], "install") == 0) {
    log("installer (pid " + pid + ") starts; installed version is " + read_version());
    if (std::FILE* file = std::fopen(demo_file("version.txt").c_str(), "w")) {
      std::fprintf(file, "%s\n", argv[2]);
      std::fclose(file);
    }
    log("installer wrote version " + read_version() + " and exits with 0");
    return 0;
  }
  const unsigned long run_for = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : 0;
  const bool updated = argc == 2 && std::strcmp(argv[1], "--updated") == 0;
  log("application " + read_version() + " runs (pid " + pid + ")" + (updated ? ", told --updated" : ""));
  Sleep(run_for);
  log("application " + read_version() + " exits");
  return 0;
}

// What relauncher.exe carries: it must run from any folder, so it may import
// nothing but system DLLs, and it must carry its manifest.

#include <windows.h>

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "support.h"
#include "version.h"

namespace {

std::string read_binary(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

template <typename T>
T at(const std::string& image, std::size_t offset) {
  T value{};
  if (offset + sizeof(T) <= image.size()) {
    std::copy_n(image.data() + offset, sizeof(T), reinterpret_cast<char*>(&value));
  }
  return value;
}

// The names in the import directory of a 64-bit PE file, lower-cased.
std::set<std::string> imported_dlls(const std::string& image) {
  const auto dos = at<IMAGE_DOS_HEADER>(image, 0);
  const auto nt = at<IMAGE_NT_HEADERS64>(image, static_cast<std::size_t>(dos.e_lfanew));
  const DWORD imports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
  const std::size_t sections = static_cast<std::size_t>(dos.e_lfanew) + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) +
                               nt.FileHeader.SizeOfOptionalHeader;
  auto file_offset = [&](DWORD rva) -> std::size_t {
    for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
      const auto section = at<IMAGE_SECTION_HEADER>(image, sections + i * sizeof(IMAGE_SECTION_HEADER));
      if (rva >= section.VirtualAddress && rva < section.VirtualAddress + section.Misc.VirtualSize) {
        return rva - section.VirtualAddress + section.PointerToRawData;
      }
    }
    return image.size();
  };
  std::set<std::string> names;
  for (std::size_t entry = file_offset(imports);; entry += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto descriptor = at<IMAGE_IMPORT_DESCRIPTOR>(image, entry);
    if (descriptor.Name == 0) {
      break;
    }
    std::string name = image.c_str() + std::min(file_offset(descriptor.Name), image.size());
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    names.insert(name);
  }
  return names;
}

// relauncher.exe and its windowless twin: the same program, linked for two subsystems.
const struct {
  std::wstring (*path)();
  WORD subsystem;
  const wchar_t* file_name;
} tools[] = {
    {test::tool_path, IMAGE_SUBSYSTEM_WINDOWS_CUI, L"relauncher.exe"},
    {test::twin_path, IMAGE_SUBSYSTEM_WINDOWS_GUI, L"relauncherw.exe"},
};

TEST(Binary, ImportsOnlySystemDlls) {
  for (const auto& tool : tools) {
    SCOPED_TRACE(test::to_utf8(tool.file_name));
    const std::string image = read_binary(tool.path());
    ASSERT_GT(image.size(), 1024u);
    ASSERT_EQ(at<WORD>(image, 0), IMAGE_DOS_SIGNATURE);
    const auto nt = at<IMAGE_NT_HEADERS64>(image, static_cast<std::size_t>(at<IMAGE_DOS_HEADER>(image, 0).e_lfanew));
    EXPECT_EQ(nt.FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_EQ(nt.OptionalHeader.Subsystem, tool.subsystem);
    // ntdll.dll is mapped into every process before anything is imported: it can never
    // be loaded from beside the tool.
    EXPECT_EQ(imported_dlls(image), (std::set<std::string>{"kernel32.dll", "msvcrt.dll", "ntdll.dll"}));
  }
}

TEST(Binary, CarriesItsManifest) {
  for (const auto& tool : tools) {
    SCOPED_TRACE(test::to_utf8(tool.file_name));
    HMODULE module = LoadLibraryExW(tool.path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
    ASSERT_NE(resource, nullptr);
    const char* bytes = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    const std::string manifest(bytes, SizeofResource(module, resource));
    FreeLibrary(module);
    EXPECT_NE(manifest.find(">UTF-8</activeCodePage>"), std::string::npos);
    EXPECT_NE(manifest.find(R"(<requestedExecutionLevel level="asInvoker")"), std::string::npos);
    EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
  }
}

std::wstring version_string(const std::vector<char>& info, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || length == 0) {
    return {};
  }
  return static_cast<const wchar_t*>(value);
}

TEST(Binary, CarriesItsVersion) {
  for (const auto& tool : tools) {
    SCOPED_TRACE(test::to_utf8(tool.file_name));
    const std::wstring path = tool.path();
    std::vector<char> info(GetFileVersionInfoSizeW(path.c_str(), nullptr));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, static_cast<DWORD>(MAKELONG(RELAUNCHER_VERSION_MINOR, RELAUNCHER_VERSION_MAJOR)));
    EXPECT_EQ(fixed->dwProductVersionLS, static_cast<DWORD>(MAKELONG(0, RELAUNCHER_VERSION_PATCH)));
    const std::wstring version = test::from_utf8(RELAUNCHER_VERSION_TEXT);
    EXPECT_EQ(version_string(info, L"FileVersion"), version);
    EXPECT_EQ(version_string(info, L"ProductVersion"), version);
    EXPECT_EQ(version_string(info, L"OriginalFilename"), tool.file_name);
    EXPECT_NE(version_string(info, L"FileDescription"), L"");
  }
}

// The window's modules are loaded only when a window is asked for: a plain hand-over
// loads no more than it imports.
TEST(Binary, LoadsUser32OnlyForTheProgressWindow) {
  test::TempDir dir;
  const std::wstring setup = test::copy_probe(dir, L"setup.exe");
  SetEnvironmentVariableW(L"PROBE_setup_SLEEP_MS", L"1500");
  const auto loads_user32 = [](HANDLE process) {
    bool user32 = false;
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetProcessId(process));
    MODULEENTRY32W module{};
    module.dwSize = sizeof(module);
    for (BOOL more = Module32FirstW(modules, &module); more; more = Module32NextW(modules, &module)) {
      user32 = user32 || _wcsicmp(module.szModule, L"user32.dll") == 0;
    }
    CloseHandle(modules);
    return user32;
  };
  for (const bool progress : {false, true}) {
    test::forget_records({setup});
    HANDLE tool = test::start(test::tool_path(), test::quoted(test::tool_path()) + L" --wait-pid 1" +
                                                     (progress ? L" --progress Updating" : L"") + L" -- " +
                                                     test::quoted(setup));
    // Once the program runs the window has been asked for, if ever: its modules are
    // looked for while relauncher still runs.
    ASSERT_TRUE(test::wait_until_started(setup, 10000));
    bool user32 = loads_user32(tool);
    while (progress && !user32 && test::still_running(tool)) {
      Sleep(20);
      user32 = loads_user32(tool);
    }
    EXPECT_EQ(user32, progress);
    test::finish(tool);
  }
}

}  // namespace

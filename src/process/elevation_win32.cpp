#include "process/process.h"

#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include "process/child_command.h"
#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

using ShellExecuteExFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);
using CoInitializeExFunction = HRESULT(WINAPI*)(void*, DWORD);

// From the system folder only, never from beside the tool (a download folder may hold
// anything), and only on this path, so that the tool imports nothing beyond kernel32
// and the C runtime. The modules stay loaded until the tool exits: shell extensions
// that ShellExecuteExW ran may still hold code in them.
FARPROC system_function(const wchar_t* module_name, const char* function) {
  HMODULE module = LoadLibraryExW(module_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  return module == nullptr ? nullptr : GetProcAddress(module, function);
}

// GetProcAddress gives one generic function type; void(*)() converts to any other
// without a cast-function-type warning.
template <typename Function>
Function as_function(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

// ShellExecuteExW may hand the work to shell extensions, which need COM on the
// calling thread.
bool initialise_com() {
  const auto initialise =
      as_function<CoInitializeExFunction>(system_function(L"ole32.dll", "CoInitializeEx"));
  return initialise != nullptr &&
         SUCCEEDED(initialise(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

void uninitialise_com() {
  const auto uninitialise =
      as_function<void(WINAPI*)()>(system_function(L"ole32.dll", "CoUninitialize"));
  if (uninitialise != nullptr) {
    uninitialise();
  }
}

// Starts the file through the consent prompt; the process handle, or null with the
// error in `run`.
HANDLE start_elevated(ElevatedRun& run) {
  const auto shell_execute =
      as_function<ShellExecuteExFunction>(system_function(L"shell32.dll", "ShellExecuteExW"));
  if (shell_execute == nullptr) {
    run.error = {static_cast<int>(GetLastError()), std::system_category()};
    return nullptr;
  }
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  // A process to wait for, no message boxes of the shell's own (the log tells), and
  // the start finished before the call returns.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
  info.lpVerb = L"runas";
  info.lpFile = as_wide(run.file);
  info.lpParameters =
      run.parameters.empty() ? nullptr : as_wide(run.parameters);
  info.nShow = SW_SHOWNORMAL;  // an installer's window must not be hidden
  const bool com = initialise_com();
  if (!shell_execute(&info)) {
    run.error = {static_cast<int>(GetLastError()), std::system_category()};
  }
  if (com) {
    uninitialise_com();
  }
  return run.error ? nullptr : info.hProcess;
}

}  // namespace

ElevatedRun run_elevated(const std::string& program, const std::vector<std::string>& arguments,
                         bool verbatim) {
  const ChildCommand command = child_command(program, arguments, verbatim);
  ElevatedRun run;
  run.file = command.file;
  run.parameters = command.command_line.substr(command.arguments_at);
  if (command.error != 0) {
    run.error = {static_cast<int>(command.error), std::system_category()};
    return run;
  }
  HANDLE process = start_elevated(run);
  if (process == nullptr) {
    return run;  // declined, failed, or started with no process to wait for
  }
  run.has_process = true;
  run.pid = GetProcessId(process);
  run.exit_code = wait_for_exit_code(process);
  (void)CloseHandle(process);  // nothing can be done if it fails
  return run;
}

}  // namespace relauncher

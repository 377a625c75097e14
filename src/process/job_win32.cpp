#include <windows.h>

#include "files/folder_path.h"
#include "process/process_win32_internal.h"

namespace relauncher {

namespace {

// Delivery of job messages is not guaranteed, so a quiet port is a cue to count the
// job's processes directly rather than to wait for ever.
constexpr DWORD recount_after_ms = 1000;

bool job_is_empty(HANDLE job) {
  JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
  return QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting,
                                   sizeof(accounting), nullptr) != 0 &&
         accounting.ActiveProcesses == 0;
}

std::vector<DWORD> job_members(HANDLE job) {
  // The list's two counts share the first slot; the ids follow, one per slot.
  std::vector<ULONG_PTR> list(1 + 64);
  for (;;) {
    const DWORD size = static_cast<DWORD>(list.size() * sizeof(ULONG_PTR));
    if (QueryInformationJobObject(job, JobObjectBasicProcessIdList, list.data(), size, nullptr)) {
      break;
    }
    if (GetLastError() != ERROR_MORE_DATA || list.size() > 65536) {
      return {};
    }
    list.resize(list.size() * 4);
  }
  const auto* ids = reinterpret_cast<const JOBOBJECT_BASIC_PROCESS_ID_LIST*>(list.data());
  std::vector<DWORD> members;
  for (DWORD i = 0; i < ids->NumberOfProcessIdsInList; ++i) {
    members.push_back(static_cast<DWORD>(ids->ProcessIdList[i]));
  }
  return members;
}

// The system's console host: it serves the console of a program started without a window,
// in the program's job, for as long as anything is attached to that console (a child
// that left the job included). It is no part of the install.
std::u16string console_host() {
  const std::optional<std::u16string> system = read_sized(
      [](wchar_t* buffer, DWORD capacity) { return GetSystemDirectoryW(buffer, capacity); });
  return system ? comparable_form(*system + u"\\conhost.exe") : std::u16string();
}

// The processes of the tree that are still the installer's, once the program has ended;
// `application` gets an instance of the relaunch application among the rest.
std::vector<TreeMember> installer_members(HANDLE job, const ProgramSettings& settings,
                                          std::optional<std::uint32_t>& application) {
  std::vector<TreeMember> installer;
  application.reset();
  const std::u16string host = console_host();
  for (const DWORD pid : job_members(job)) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
      continue;  // ended since the list was made
    }
    const std::optional<std::u16string> image = process ? process_image(process) : std::nullopt;
    if (process != nullptr) {
      (void)CloseHandle(process);  // nothing can be done if it fails
    }
    // What cannot be read cannot be shown to be the application's: it is waited for.
    const std::u16string comparable = image ? comparable_form(*image) : std::u16string();
    if (!comparable.empty() && comparable == settings.application_image) {
      application = pid;
    } else if (comparable.empty() ||
               (comparable != host && !path_is_in_any(settings.application_folders, comparable))) {
      installer.push_back({pid, image.value_or(std::u16string())});
    }
  }
  return installer;
}

// Until the tree is empty or, once the program itself has ended, holds only the
// application's processes: an installer that starts the application at its end, or
// leaves one of its helpers running, must not keep the hand-over waiting as long as
// the application runs.
std::optional<std::uint32_t> wait_for_installer(HANDLE job, HANDLE port, HANDLE program,
                                                const ProgramSettings& settings) {
  bool told = false;
  for (;;) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED detail = nullptr;
    const BOOL got = GetQueuedCompletionStatus(port, &message, &key, &detail, recount_after_ms);
    if (got && key == reinterpret_cast<ULONG_PTR>(job) &&
        message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
      return std::nullopt;
    }
    if (WaitForSingleObject(program, 0) == WAIT_OBJECT_0) {
      std::optional<std::uint32_t> application;
      const std::vector<TreeMember> installer = installer_members(job, settings, application);
      if (installer.empty()) {
        return application;
      }
      if (!told && settings.on_program_ended) {
        settings.on_program_ended(installer);
        told = true;
      }
    } else if (!got && job_is_empty(job)) {
      return std::nullopt;
    }
  }
}

// A job that reports to `port` and lets a child leave it only when that child asks to
// (CREATE_BREAKAWAY_FROM_JOB), so that an installer that starts something on purpose
// outside its own lifetime still can. No kill-on-close: closing the job, or the tool
// ending, stops nothing.
DWORD make_job(HANDLE job, HANDLE port) {
  JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{};
  association.CompletionKey = job;
  association.CompletionPort = port;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &association,
                               sizeof(association)) ||
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
    return GetLastError();
  }
  return 0;
}

}  // namespace

TreeWait resume_and_wait_for_tree(HANDLE process, HANDLE thread, const ProgramSettings& settings,
                                  DWORD& resume_error) {
  TreeWait tree;
  resume_error = 0;
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  HANDLE port = nullptr;
  if (job == nullptr) {
    tree.error = GetLastError();
  } else if ((port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)) == nullptr) {
    tree.error = GetLastError();
  } else {
    tree.error = make_job(job, port);
  }
  // Assigned while still suspended, so that not even its first child escapes the job.
  // Refused, for instance, where the tool itself runs in a job that nests no other.
  if (tree.error == 0 && !AssignProcessToJobObject(job, process)) {
    tree.error = GetLastError();
  }
  if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
    resume_error = GetLastError();
  } else if (tree.error == 0) {
    tree.application_pid = wait_for_installer(job, port, process, settings);
    tree.whole_tree = true;
  }
  // Nothing can be done if a close fails; closing the job ends nothing in it.
  if (port != nullptr) {
    (void)CloseHandle(port);
  }
  if (job != nullptr) {
    (void)CloseHandle(job);
  }
  return tree;
}

}  // namespace relauncher

#include <windows.h>

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

void wait_until_empty(HANDLE job, HANDLE port) {
  for (;;) {
    DWORD message = 0;
    ULONG_PTR key = 0;
    LPOVERLAPPED detail = nullptr;
    const BOOL got = GetQueuedCompletionStatus(port, &message, &key, &detail, recount_after_ms);
    if (got && key == reinterpret_cast<ULONG_PTR>(job) &&
        message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
      return;
    }
    if (!got && job_is_empty(job)) {
      return;
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
      !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits))) {
    return GetLastError();
  }
  return 0;
}

}  // namespace

TreeWait resume_and_wait_for_tree(HANDLE process, HANDLE thread, DWORD& resume_error) {
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
    wait_until_empty(job, port);
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

#include "run_process.h"

#include "wide_buf.h"

namespace {

// PROC_THREAD_ATTRIBUTE_JOB_LIST (Windows 10 and later), which the
// headers declare only for builds that target it: the process is made
// inside the job, with no moment outside it.
constexpr DWORD_PTR kJobListAttribute = 0x2000D;

// Room for a list of one attribute; Windows needs about 48 bytes.
constexpr size_t kAttributeListBytes = 128;

// No limits at all: the child may leave the job, and what it starts leaves
// it without asking, so that the job binds nothing. Where the installer
// itself runs in a job, what the child starts leaves without asking only
// if that job lets it too: a breakaway that goes on up through the jobs
// above must never take anything further than it went without this one.
DWORD FreeLimits() {
  DWORD limits = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  BOOL in_job = FALSE;
  JOBOBJECT_BASIC_LIMIT_INFORMATION own;
  if (IsProcessInJob(GetCurrentProcess(), nullptr, &in_job) && !in_job) {
    limits |= JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  } else if (in_job &&
             QueryInformationJobObject(nullptr, JobObjectBasicLimitInformation,
                                       &own, sizeof own, nullptr)) {
    limits |= own.LimitFlags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  }
  return limits;
}

// What a job of the child's own may make CreateProcessW refuse, where a
// job the installer runs in allows none inside it.
bool MayBeTheJobs(DWORD error) {
  return error == ERROR_ACCESS_DENIED || error == ERROR_NOT_SUPPORTED ||
         error == ERROR_INVALID_PARAMETER;
}

bool SetJobLimits(HANDLE job, DWORD limits) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION information;
  FillBytes(&information, 0, sizeof information);
  information.BasicLimitInformation.LimitFlags = limits;
  return SetInformationJobObject(job, JobObjectExtendedLimitInformation,
                                 &information, sizeof information) != FALSE;
}

// A job that ends its processes when its last handle closes; null when
// none can be made.
HANDLE MakeStartJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  if (!SetJobLimits(job, FreeLimits() | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// The attribute list that puts the process into *job at its creation;
// null where the system has no such attribute (before Windows 10).
LPPROC_THREAD_ATTRIBUTE_LIST JobAttribute(unsigned char* storage,
                                          const HANDLE* job) {
  SIZE_T size = kAttributeListBytes;
  LPPROC_THREAD_ATTRIBUTE_LIST list =
      reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage);
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return nullptr;
  if (!UpdateProcThreadAttribute(list, 0, kJobListAttribute,
                                 const_cast<HANDLE*>(job), sizeof(HANDLE),
                                 nullptr, nullptr)) {
    DeleteProcThreadAttributeList(list);
    return nullptr;
  }
  return list;
}

// CreateProcessW, suspended, inside the job of list when there is one.
bool Create(const wchar_t* program, wchar_t* command_line,
            LPPROC_THREAD_ATTRIBUTE_LIST list, PROCESS_INFORMATION* started) {
  // Only the size (and the list) is set: the child gets the default window
  // and standard handles, none of ours.
  STARTUPINFOEXW startup;
  FillBytes(&startup, 0, sizeof startup);
  startup.StartupInfo.cb =
      list == nullptr ? sizeof(STARTUPINFOW) : sizeof startup;
  startup.lpAttributeList = list;
  DWORD flags = CREATE_SUSPENDED | CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE;
  if (list != nullptr) flags |= EXTENDED_STARTUPINFO_PRESENT;
  FillBytes(started, 0, sizeof *started);
  // The program is named as the application so that no search path can
  // substitute another file for it. It gets the system's default error
  // mode rather than the installer's, so it behaves as when started alone.
  return CreateProcessW(program, command_line, nullptr, nullptr, FALSE, flags,
                        nullptr, nullptr, &startup.StartupInfo,
                        started) != FALSE;
}

void CloseNull(HANDLE* slot) {
  if (*slot == nullptr) return;
  HANDLE old = *slot;
  *slot = nullptr;
  CloseHandle(old);
}

}  // namespace

StartedChild::StartedChild()
    : process(nullptr), thread(nullptr), job(nullptr), running_(false) {}

StartedChild::~StartedChild() { Release(); }

bool StartedChild::LetRun() {
  if (ResumeThread(thread) == static_cast<DWORD>(-1)) {
    const DWORD error = GetLastError();
    Release();
    SetLastError(error);
    return false;
  }
  running_ = true;
  // From here the child outlives a killed installer, as any program it
  // starts would. Should the limits not change, the job stays open until
  // the child has been waited for.
  if (job != nullptr) SetJobLimits(job, FreeLimits());
  return true;
}

void StartedChild::Release() {
  if (process != nullptr && !running_) TerminateProcess(process, 1);
  CloseNull(&thread);
  CloseNull(&process);
  CloseNull(&job);
  running_ = false;
}

ExitResult StartChild(const wchar_t* program, wchar_t* command_line,
                      HANDLE lend, uint32_t file_not_found_code,
                      uint32_t path_not_found_code, uint32_t start_failed_code,
                      StartedChild* child) {
  child->Release();
  alignas(8) unsigned char storage[kAttributeListBytes];
  HANDLE job = MakeStartJob();
  LPPROC_THREAD_ATTRIBUTE_LIST list =
      job == nullptr ? nullptr : JobAttribute(storage, &job);
  if (list == nullptr) CloseNull(&job);

  PROCESS_INFORMATION started;
  bool created = Create(program, command_line, list, &started);
  DWORD error = created ? 0 : GetLastError();
  if (list != nullptr) DeleteProcThreadAttributeList(list);
  // A job the installer is in may forbid one of its own: the child starts
  // without it then, as it would have without the installer's. Should that
  // fail too, the first refusal is the one reported.
  if (!created && job != nullptr && MayBeTheJobs(error)) {
    CloseNull(&job);
    created = Create(program, command_line, nullptr, &started);
  }
  if (!created) {
    CloseNull(&job);
    // The attributes tell apart a file that is gone from one that exists
    // but could not be opened as a program.
    const DWORD attributes = GetFileAttributesW(program);
    if (error == ERROR_PATH_NOT_FOUND) {
      return MakeExitResult(path_not_found_code, attributes);
    }
    if (error == ERROR_FILE_NOT_FOUND) {
      return MakeExitResult(file_not_found_code, attributes);
    }
    return MakeExitResult(start_failed_code, error);
  }
  child->process = started.hProcess;
  child->thread = started.hThread;
  child->job = job;

  if (lend != nullptr && lend != INVALID_HANDLE_VALUE) {
    // Not inheritable, so nothing the child starts gets it; the child
    // never learns its value, so it never closes it either. Best effort:
    // without it the folder tells only that the installer still lives.
    HANDLE lent = nullptr;
    DuplicateHandle(GetCurrentProcess(), lend, started.hProcess, &lent, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
  }
  return MakeExitResult(0, 0);
}

ExitResult RunChildToEnd(StartedChild* child, uint32_t start_failed_code) {
  if (!child->LetRun())
    return MakeExitResult(start_failed_code, GetLastError());
  ExitResult result;
  if (WaitForSingleObject(child->process, INFINITE) != WAIT_OBJECT_0) {
    result = MakeExitResult(EXIT_WAIT_FAILED, GetLastError());
  } else {
    DWORD exit_code = 0;
    if (GetExitCodeProcess(child->process, &exit_code)) {
      result = MakeExitResult(exit_code, 0);
    } else {
      result = MakeExitResult(EXIT_WAIT_FAILED, GetLastError());
    }
  }
  child->Release();
  return result;
}

ExitResult RunProcessAndWait(const wchar_t* program, wchar_t* command_line,
                             HANDLE lend, uint32_t file_not_found_code,
                             uint32_t path_not_found_code,
                             uint32_t start_failed_code) {
  StartedChild child;
  const ExitResult started =
      StartChild(program, command_line, lend, file_not_found_code,
                 path_not_found_code, start_failed_code, &child);
  if (!Succeeded(started)) return started;
  return RunChildToEnd(&child, start_failed_code);
}

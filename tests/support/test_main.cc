// The main of every test program: GoogleTest's own, plus one line for each
// case that skips itself, naming the case and its reason together:
//   [  REASON  ] Suite.Case: the reason it gave
// GoogleTest prints the reason on a line of its own, away from the name;
// run-suite.cmd, which has nothing but cmd.exe and find.exe to read the
// output with, shows these lines under the program they belong to.
//
// With TEST_PROGRAM_TIME_LIMIT set (seconds), a program still running
// after that long prints
//   [ TIMEOUT  ] Suite.Case: still running after N s
// and ends itself and every process it started, however started (they
// all belong to a job object that ends them when this program goes), and
// removes its scratch folders: a hang on a tester's machine is a failure
// with a name, not a frozen window and a process left behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "support/test_support.h"

namespace {

class SkipReasonPrinter : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& info) override {
    const ::testing::TestResult& result = *info.result();
    if (!result.Skipped()) return;
    std::string reason;
    for (int i = 0; i < result.total_part_count(); ++i) {
      const ::testing::TestPartResult& part = result.GetTestPartResult(i);
      if (part.skipped()) reason += part.message();
    }
    for (char& c : reason) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    std::printf("[  REASON  ] %s.%s: %s\n", info.test_suite_name(), info.name(),
                reason.c_str());
    std::fflush(stdout);
  }
};

// Exit code of a program ended by its time limit.
constexpr UINT kTimedOut = 3;

struct Watch {
  HANDLE job = nullptr;  // this program and all it starts; null: none
  DWORD limit_seconds = 0;
  SRWLOCK lock = SRWLOCK_INIT;
  char running[512] = "(no case had started)";
};

// Keeps the name of the case now running where the watchdog reads it.
class RunningCase : public ::testing::EmptyTestEventListener {
 public:
  explicit RunningCase(Watch* watch) : watch_(watch) {}

 private:
  void OnTestStart(const ::testing::TestInfo& info) override { Set(info, ""); }
  void OnTestEnd(const ::testing::TestInfo& info) override {
    Set(info, " (ended; the program had not yet)");
  }
  void Set(const ::testing::TestInfo& info, const char* note) {
    AcquireSRWLockExclusive(&watch_->lock);
    std::snprintf(watch_->running, sizeof watch_->running, "%s.%s%s",
                  info.test_suite_name(), info.name(), note);
    ReleaseSRWLockExclusive(&watch_->lock);
  }
  Watch* watch_;
};

// A job that ends every process in it when its last handle closes, which
// this program holds until it ends. Every process started from here on
// belongs to it, the children's children too. Null when Windows refuses
// (a job around the runner that forbids nesting, before Windows 8).
HANDLE JoinJobThatEndsChildren() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                               sizeof limits) ||
      !AssignProcessToJobObject(job, GetCurrentProcess())) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Ends every process of the job but this one, and waits for each, so that
// the files they hold can go. Ids are checked against the job after they
// are opened: an id may name another process by then.
void EndOthersInJob(HANDLE job) {
  // JOBOBJECT_BASIC_PROCESS_ID_LIST with room for 256 ids: its two counts
  // fill the first unit, the ids follow. (Indexing the structure's own
  // one-element array past its end is undefined, and GCC then reads one.)
  ULONG_PTR list[1 + 256];
  for (int round = 0; round < 20; ++round) {
    ZeroMemory(list, sizeof list);
    if (!QueryInformationJobObject(job, JobObjectBasicProcessIdList, list,
                                   sizeof list, nullptr) &&
        GetLastError() != ERROR_MORE_DATA) {
      return;
    }
    DWORD listed = 0;
    std::memcpy(&listed, reinterpret_cast<const char*>(list) + 4, 4);
    bool ended_any = false;
    for (DWORD i = 0; i < listed && i < 256; ++i) {
      const DWORD pid = static_cast<DWORD>(list[1 + i]);
      if (pid == GetCurrentProcessId()) continue;
      HANDLE process = OpenProcess(
          PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE,
          pid);
      if (process == nullptr) continue;
      // Wine asks for the full query right where Windows takes either.
      BOOL in_job = FALSE;
      if (IsProcessInJob(process, job, &in_job) && in_job) {
        TerminateProcess(process, kTimedOut);
        WaitForSingleObject(process, 10000);
        ended_any = true;
      }
      CloseHandle(process);
    }
    if (!ended_any) return;
  }
}

DWORD WINAPI Watchdog(void* context) {
  Watch* watch = static_cast<Watch*>(context);
  Sleep(watch->limit_seconds * 1000);
  char running[sizeof watch->running];
  AcquireSRWLockShared(&watch->lock);
  std::memcpy(running, watch->running, sizeof running);
  ReleaseSRWLockShared(&watch->lock);
  std::printf(
      "\n[ TIMEOUT  ] %s: still running after %lu s; the program and every "
      "process it started are ended\n",
      running, watch->limit_seconds);
  std::fflush(stdout);
  if (watch->job != nullptr) {
    EndOthersInJob(watch->job);
  } else {
    std::printf(
        "[ TIMEOUT  ] no job held its children: any it started may "
        "still run\n");
    std::fflush(stdout);
  }
  testing_support::RemoveScratchDirsOf(GetCurrentProcessId());
  TerminateProcess(GetCurrentProcess(), kTimedOut);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // GoogleTest owns the listeners from here on.
  ::testing::TestEventListeners& listeners =
      ::testing::UnitTest::GetInstance()->listeners();
  listeners.Append(new SkipReasonPrinter);
  // Lives until the process ends: the watchdog and the job use it.
  static Watch watch;
  watch.job = JoinJobThatEndsChildren();
  const std::wstring limit =
      testing_support::EnvironmentText("TEST_PROGRAM_TIME_LIMIT");
  watch.limit_seconds =
      static_cast<DWORD>(std::wcstoul(limit.c_str(), nullptr, 10));
  if (watch.limit_seconds != 0) {
    listeners.Append(new RunningCase(&watch));
    HANDLE thread = CreateThread(nullptr, 0, Watchdog, &watch, 0, nullptr);
    if (thread != nullptr) CloseHandle(thread);
  }
  return RUN_ALL_TESTS();
}

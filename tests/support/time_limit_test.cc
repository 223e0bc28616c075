// The test programs' time limit (support/test_main.cc): this program runs
// itself with a limit of two seconds, on a case that starts a holder of a
// file in its scratch folder and then hangs.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using namespace testing_support;

constexpr char kChildVariable[] = "TIME_LIMIT_CHILD_REPORT";

TEST(TimeLimitChild, HangsHoldingAFileInItsScratchFolder) {
  const std::wstring report = PathFromEnvironment(kChildVariable);
  if (report.empty()) {
    GTEST_SKIP() << "runs only as the child of TimeLimit's case";
  }
  ScratchDir dir(L"hang");
  const std::wstring file = dir / L"held.bin";
  ASSERT_TRUE(WriteFileBytes(file, "held"));
  HeldFile holder(file, -1);
  ASSERT_TRUE(holder.held());
  ASSERT_TRUE(WriteFileBytes(report, Narrow(dir.path())));
  Sleep(INFINITE);
}

TEST(TimeLimit, EndsTheRunningCaseWithEverythingItStartedAndItsScratch) {
  ScratchDir dir(L"limit");
  wchar_t self[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  ASSERT_TRUE(length > 0 && length <= MAX_PATH);
  ChildOptions options;
  options.set_env[L"TEST_PROGRAM_TIME_LIMIT"] = L"2";
  options.set_env[Widen(kChildVariable)] = dir / L"report.txt";
  options.output_file = dir / L"output.txt";
  options.timeout_ms = 60000;
  const ChildOutcome outcome = RunChild(
      self, L"\"" + std::wstring(self) + L"\" --gtest_filter=TimeLimitChild.*",
      options);
  ASSERT_TRUE(outcome.started) << outcome.start_error;
  EXPECT_FALSE(outcome.timed_out) << "the limit did not end the program";
  EXPECT_EQ(outcome.exit_code, 3u);
  const std::string output = ReadFileBytes(dir / L"output.txt");
  EXPECT_NE(output.find("[ TIMEOUT  ] TimeLimitChild."
                        "HangsHoldingAFileInItsScratchFolder: still running "
                        "after 2 s"),
            std::string::npos)
      << output;
  // The holder keeps its file from being deleted (no delete sharing): the
  // scratch folder can be gone only once the holder is.
  const std::string scratch = ReadFileBytes(dir / L"report.txt");
  ASSERT_FALSE(scratch.empty()) << output;
  EXPECT_FALSE(Exists(Widen(scratch))) << scratch << "\n" << output;
}

}  // namespace

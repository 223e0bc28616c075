// The main of every test program: GoogleTest's own, plus one line for each
// case that skips itself, naming the case and its reason together:
//   [  REASON  ] Suite.Case: the reason it gave
// GoogleTest prints the reason on a line of its own, away from the name;
// run-suite.cmd, which has nothing but cmd.exe and find.exe to read the
// output with, shows these lines under the program they belong to.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // GoogleTest owns the listener from here on.
  ::testing::UnitTest::GetInstance()->listeners().Append(new SkipReasonPrinter);
  return RUN_ALL_TESTS();
}

#include "run_process.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "argument_tail.h"
#include "launch_settings.h"
#include "support/test_support.h"
#include "wide_buf.h"

namespace {

using testing_support::PathFromEnvironment;
using testing_support::ScratchDir;
using testing_support::WriteFileBytes;

constexpr wchar_t kOwnStart[] = L"\"C:\\w\\setup.exe\" --own";

// The command line after AppendArgumentTail, and its answer.
struct Appended {
  bool ok;
  std::wstring text;
};

Appended Append(const std::wstring& raw, const std::wstring& start,
                size_t program_name_length = 0) {
  CmdBuf command;
  EXPECT_TRUE(SafeCopy(command.get(), kCmdCapacity, start.c_str()));
  const bool ok =
      AppendArgumentTail(raw.c_str(), program_name_length, command.get());
  return {ok, command.get()};
}

TEST(AppendArgumentTail, CopiesWhatFollowsTheProgramNameVerbatim) {
  struct Row {
    std::wstring raw;
    std::wstring appended;
  };
  const Row rows[] = {
      {L"\"C:\\dl\\inst.exe\" --x", L" --x"},
      {L"inst.exe --x", L" --x"},
      {L"\"C:\\dl\\inst.exe\"", L""},
      {L"inst.exe", L""},
      {L"", L""},
      {L"\"\"", L""},
      {L"\"\" --x", L" --x"},
      // Text right after the closing quote is an argument of its own.
      {L"\"inst.exe\"--x", L" --x"},
      {L"\"x\"\"--y\"", L" \"--y\""},
      // An unclosed quote makes the whole line the name.
      {L"\"C:\\dl\\inst.exe --x", L""},
      {L"\"", L""},
      // Tab ends an unquoted name; a line feed belongs to it.
      {L"inst.exe\t--x", L"\t--x"},
      {L"inst.exe\n--x", L""},
      {L"inst.exe\n--x --y", L" --y"},
      {L"in\x01st.exe --x", L" --x"},
      // A quote inside an unquoted name does not start quoting.
      {L"in\"st ex\"e --x", L" ex\"e --x"},
      // Spacing and quoting reach the child unchanged.
      {L"inst.exe   --x  ", L"   --x  "},
      {L"inst.exe ", L" "},
      {L"\"inst.exe\" \t\"a b\" \"--c=\\\"d\\\"\"",
       L" \t\"a b\" \"--c=\\\"d\\\"\""},
  };
  for (const Row& row : rows) {
    const Appended result = Append(row.raw, kOwnStart);
    EXPECT_TRUE(result.ok) << testing::PrintToString(row.raw);
    EXPECT_EQ(result.text, kOwnStart + row.appended)
        << testing::PrintToString(row.raw);
  }
}

TEST(AppendArgumentTail, UnquotedOwnPathWithSpacesIsTheWholeProgramName) {
  // A launcher that names the application and passes no command line gets
  // the bare path as the command line from Windows.
  const std::wstring own = L"C:\\Users\\John Smith\\Downloads\\Setup.exe";
  struct Row {
    std::wstring raw;
    std::wstring appended;
  };
  const Row rows[] = {
      {own, L""},
      {own + L" --system-level", L" --system-level"},
      {own + L"\t--x", L"\t--x"},
      // Compared as Windows compares paths: letter case does not count.
      {L"c:\\users\\JOHN SMITH\\downloads\\setup.EXE --x", L" --x"},
      // Quoted, or not this program, or not followed by white space: the
      // first argument ends where Windows ends it.
      {L"\"" + own + L"\" --x", L" --x"},
      {L"C:\\Users\\John Smith\\Downloads\\Other.exe --x",
       L" Smith\\Downloads\\Other.exe --x"},
      {own + L"x --y", L" Smith\\Downloads\\Setup.exex --y"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.raw));
    const Appended result =
        Append(row.raw, kOwnStart,
               UnquotedOwnPathLength(row.raw.c_str(), own.c_str()));
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.text, kOwnStart + row.appended);
  }
}

TEST(AppendArgumentTail, AppendsWholeTailOrLeavesTheLineAsItWas) {
  const std::wstring start = kOwnStart;
  // The text of a CmdBuf holds at most 1039 units.
  const size_t room = kCmdCapacity - 1 - start.size();

  const std::wstring fits = L" " + std::wstring(room - 1, L'x');
  Appended result = Append(L"inst.exe" + fits, start);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.text, start + fits);

  result = Append(L"inst.exe" + fits + L"y", start);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.text, start);

  // The inserted space counts: it and the tail fit together or not at all.
  const std::wstring glued(room - 1, L'x');
  result = Append(L"\"inst.exe\"" + glued, start);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.text, start + L" " + glued);

  result = Append(L"\"inst.exe\"" + glued + L"y", start);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.text, start);

  // A full line has room for nothing, not even the space; nothing to
  // append still succeeds.
  const std::wstring full(kCmdCapacity - 1, L'c');
  result = Append(L"\"inst.exe\"y", full);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.text, full);
  result = Append(L"inst.exe y", full);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.text, full);
  result = Append(L"\"inst.exe\"", full);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(result.text, full);
}

class RunProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    exit_with_ = PathFromEnvironment("EXIT_WITH_EXE");
    ASSERT_FALSE(exit_with_.empty()) << "EXIT_WITH_EXE is not set";
  }

  // Runs program with the quoted program path and then arguments, with the
  // codes the install run uses.
  static ExitResult Run(const std::wstring& program,
                        const std::wstring& arguments) {
    CmdBuf command;
    const std::wstring line = L"\"" + program + L"\"" + arguments;
    EXPECT_TRUE(SafeCopy(command.get(), kCmdCapacity, line.c_str()));
    return RunProcessAndWait(
        program.c_str(), command.get(), nullptr, EXIT_SETUP_FILE_NOT_FOUND,
        EXIT_SETUP_PATH_NOT_FOUND, EXIT_SETUP_LAUNCH_FAILED);
  }

  std::wstring exit_with_;
  ScratchDir dir_{L"proc"};
};

TEST_F(RunProcess, ChildExitCodePassesThroughUnchanged) {
  for (uint32_t code : {0u, 1u, 105u, 0xC0000005u, 0xFFFFFFFEu}) {
    const ExitResult result = Run(exit_with_, L" " + std::to_wstring(code));
    EXPECT_EQ(result.exit_code, code);
    EXPECT_EQ(result.windows_error, 0u);
  }
}

TEST_F(RunProcess, InstallerArgumentsReachTheChild) {
  CmdBuf command;
  const std::wstring line = L"\"" + exit_with_ + L"\"";
  ASSERT_TRUE(SafeCopy(command.get(), kCmdCapacity, line.c_str()));
  ASSERT_TRUE(AppendArgumentTail(L"\"C:\\dl\\inst.exe\"77", 0, command.get()));
  const ExitResult result =
      RunProcessAndWait(exit_with_.c_str(), command.get(), nullptr, 1, 2, 3);
  EXPECT_EQ(result.exit_code, 77u);
  EXPECT_EQ(result.windows_error, 0u);
}

TEST_F(RunProcess, MissingProgramGivesTheCallersCodeAndItsAttributes) {
  ExitResult result = Run(dir_ / L"absent.exe", L"");
  EXPECT_EQ(result.exit_code, uint32_t{EXIT_SETUP_FILE_NOT_FOUND});
  EXPECT_EQ(result.windows_error, INVALID_FILE_ATTRIBUTES);

  result = Run(dir_ / L"absent\\setup.exe", L"");
  EXPECT_EQ(result.exit_code, uint32_t{EXIT_SETUP_PATH_NOT_FOUND});
  EXPECT_EQ(result.windows_error, INVALID_FILE_ATTRIBUTES);
}

TEST_F(RunProcess, FileThatIsNoProgramGivesTheStartError) {
  const std::wstring text = dir_ / L"notes.exe";
  ASSERT_TRUE(WriteFileBytes(text, "not a program, only text\r\n"));
  const ExitResult result = Run(text, L"");
  EXPECT_EQ(result.exit_code, uint32_t{EXIT_SETUP_LAUNCH_FAILED});
  EXPECT_EQ(result.windows_error, uint32_t{ERROR_BAD_EXE_FORMAT});
}

TEST_F(RunProcess, ChildInheritsNoHandles) {
  // Enough plain handles first that the inheritable one gets a value no
  // fresh child reaches with its own handles.
  std::vector<HANDLE> filler;
  for (int i = 0; i < 64; ++i) {
    filler.push_back(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  }
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
  const HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  const std::wstring arguments =
      L" --handle " + std::to_wstring(reinterpret_cast<uintptr_t>(event));

  // The probe itself sees a handle that was handed down.
  CmdBuf command;
  const std::wstring line = L"\"" + exit_with_ + L"\"" + arguments;
  ASSERT_TRUE(SafeCopy(command.get(), kCmdCapacity, line.c_str()));
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(exit_with_.c_str(), command.get(), nullptr,
                             nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &startup, &process));
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD inherited_code = 0;
  GetExitCodeProcess(process.hProcess, &inherited_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(inherited_code, 1u);

  EXPECT_EQ(Run(exit_with_, arguments).exit_code, 0u);

  CloseHandle(event);
  for (HANDLE handle : filler) CloseHandle(handle);
}

TEST_F(RunProcess, AChildNeverLetRunEndsAndTakesTheLentHoldWithIt) {
  // A directory held as the run holds its work directory: nobody may
  // delete it while the hold, or the child's copy of it, is open.
  const std::wstring folder = dir_ / L"ZK_0C0C0.tmp";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const auto deletable = [&folder] {
    HANDLE handle = CreateFileW(
        folder.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
  };
  HANDLE hold = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(hold, INVALID_HANDLE_VALUE);

  CmdBuf command;
  ASSERT_TRUE(SafeCopy(command.get(), kCmdCapacity,
                       (L"\"" + exit_with_ + L"\" 5").c_str()));
  StartedChild child;
  ASSERT_EQ(StartChild(exit_with_.c_str(), command.get(), hold, 1, 2, 3, &child)
                .exit_code,
            0u);
  HANDLE watch = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.process,
                              GetCurrentProcess(), &watch, SYNCHRONIZE, FALSE,
                              0));
  CloseHandle(hold);
  EXPECT_FALSE(deletable()) << "the child's copy of the hold is gone";
  child.Release();
  EXPECT_EQ(WaitForSingleObject(watch, 10000), WAIT_OBJECT_0);
  CloseHandle(watch);
  EXPECT_TRUE(deletable());
}

}  // namespace

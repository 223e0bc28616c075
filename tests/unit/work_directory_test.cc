#include "work_directory.h"

#include "delete_with_retry.h"

#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "support/test_support.h"

namespace {

using namespace testing_support;

const char kLockTokenVariable[] = "WORK_DIR_TEST_LOCK_TOKEN";

bool IsUpperHex(wchar_t unit) {
  return (unit >= L'0' && unit <= L'9') || (unit >= L'A' && unit <= L'F');
}

// base + "\" with nested folders so that the whole is exactly length units.
std::wstring DeepBase(const std::wstring& root, size_t length) {
  std::wstring base = root;
  while (base.size() + 1 < length) {
    const size_t room = length - base.size() - 2;  // "\" before, "\" after
    std::wstring name(room > 100 ? 100 : room, L'd');
    if (room > 100 && room - 100 < 2) name.resize(room - 2);
    base += L"\\" + name;
    if (!CreateDirectoryW(base.c_str(), nullptr)) return L"";
  }
  return base + L"\\";
}

TEST(CreateWorkDirectory, NameIsZkFiveUpperHexDigitsTmpWithBackslash) {
  ScratchDir dir(L"wd");
  const std::wstring base = dir.path() + L"\\";
  for (int i = 0; i < 12; ++i) {
    WorkDirectory work;
    ExitResult status = MakeExitResult(1, 1);
    ASSERT_TRUE(CreateWorkDirectory(base.c_str(), &work, &status));
    EXPECT_EQ(status.exit_code, 0u);
    EXPECT_EQ(status.windows_error, 0u);
    EXPECT_TRUE(work.IsHeld());
    const std::wstring made = work.path.get();
    ASSERT_EQ(made.size(), base.size() + 13) << Narrow(made);
    EXPECT_EQ(made.substr(0, base.size() + 3), base + L"ZK_");
    for (size_t k = base.size() + 3; k < base.size() + 8; ++k) {
      EXPECT_TRUE(IsUpperHex(made[k])) << Narrow(made);
    }
    EXPECT_EQ(made.substr(base.size() + 8), L".tmp\\");
    const DWORD attributes = GetFileAttributesW(made.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  }
  EXPECT_EQ(ListDirectory(dir.path()).size(), 12u);
}

TEST(CreateWorkDirectory, BaseOf246UnitsPassesAnd247FailsWith108) {
  ScratchDir dir(L"wdlen");
  const std::wstring base246 = DeepBase(dir.path(), 246);
  ASSERT_EQ(base246.size(), 246u);
  WorkDirectory work;
  ExitResult status = MakeExitResult(1, 1);
  ASSERT_TRUE(CreateWorkDirectory(base246.c_str(), &work, &status))
      << status.exit_code;
  EXPECT_EQ(std::wstring(work.path.get()).size(), 259u);
  EXPECT_EQ(work.path.get()[258], L'\\');
  work.Release();

  ScratchDir dir2(L"wdlen");
  const std::wstring base247 = DeepBase(dir2.path(), 247);
  ASSERT_EQ(base247.size(), 247u);
  status = MakeExitResult(1, 1);
  EXPECT_FALSE(CreateWorkDirectory(base247.c_str(), &work, &status));
  EXPECT_EQ(status.exit_code, 108u);
  EXPECT_EQ(status.windows_error, 0u);
  const std::wstring deepest = base247.substr(0, base247.size() - 1);
  EXPECT_TRUE(ListDirectory(deepest).empty());

  // A base that does not fit the buffer at all.
  const std::wstring huge = L"C:\\" + std::wstring(300, L'x') + L"\\";
  status = MakeExitResult(1, 1);
  EXPECT_FALSE(CreateWorkDirectory(huge.c_str(), &work, &status));
  EXPECT_EQ(status.exit_code, 108u);
  EXPECT_EQ(status.windows_error, 0u);
}

TEST(CreateWorkDirectory, TenFailedTriesGive109WithoutTheWindowsError) {
  ScratchDir dir(L"wdmiss");
  const std::wstring base = dir.path() + L"\\missing\\";
  WorkDirectory work;
  ExitResult status = MakeExitResult(1, 1);
  SetLastError(0);
  EXPECT_FALSE(CreateWorkDirectory(base.c_str(), &work, &status));
  EXPECT_FALSE(work.IsHeld());
  EXPECT_EQ(status.exit_code, 109u);
  EXPECT_EQ(status.windows_error, 0u);
  EXPECT_TRUE(ListDirectory(dir.path()).empty());
}

TEST(CreateWorkDirectory, HeldFromCreationUntilDeletedThroughTheHold) {
  ScratchDir dir(L"wdhold");
  WorkDirectory work;
  ExitResult status = MakeExitResult(1, 1);
  ASSERT_TRUE(
      CreateWorkDirectory((dir.path() + L"\\").c_str(), &work, &status));
  std::wstring path = work.path.get();
  path.pop_back();
  EXPECT_FALSE(MoveFileW(path.c_str(), (dir / L"renamed").c_str()));
  EXPECT_FALSE(RemoveDirectoryW(path.c_str()));
  // Files inside come and go as the run needs.
  const std::wstring file = path + L"\\setup.exe";
  ASSERT_TRUE(WriteFileBytes(file, "MZ"));
  EXPECT_TRUE(DeleteFileW(file.c_str()));
  ASSERT_TRUE(WriteFileBytes(file, "MZ"));

  // Deleted through the hold, which nothing else could do.
  int32_t attempts = 0;
  WorkDirectory none;
  EXPECT_FALSE(DeleteWorkDirectory(&none, &attempts));
  EXPECT_TRUE(DeleteFileW(file.c_str()));
  EXPECT_TRUE(DeleteWorkDirectory(&work, &attempts));
  EXPECT_EQ(attempts, 1);
  EXPECT_FALSE(work.IsHeld());
  EXPECT_TRUE(ListDirectory(dir.path()).empty());
}

TEST(MixTryIntoNameBytes, FailedDrawsStillGiveTenDifferentNames) {
  std::set<std::wstring> names;
  for (unsigned attempt = 0; attempt < 10; ++attempt) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    MixTryIntoNameBytes(bytes, false, attempt);
    wchar_t digits[9];
    ASSERT_TRUE(HexEncode(bytes, 4, digits, 9));
    names.insert(std::wstring(digits, 5));
  }
  EXPECT_EQ(names.size(), 10u);

  unsigned char drawn[4] = {0xAB, 0xCD, 0xEF, 0x01};
  MixTryIntoNameBytes(drawn, true, 7);
  EXPECT_EQ(drawn[0], 0xAB);
  EXPECT_EQ(drawn[1], 0xCD);
  EXPECT_EQ(drawn[2], 0xEF);
  EXPECT_EQ(drawn[3], 0x01);
}

TEST(WorkDirSecurity, AccessListIsExactlyTheProtectedListWithTheOwnerSid) {
  EXPECT_STREQ(kWorkDirAclPrefix,
               L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)"
               L"(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;");
  EXPECT_EQ(std::wstring(kWorkDirAclPrefix).size(), 92u);

  const std::wstring owner = TokenOwnerSid();
  ASSERT_FALSE(owner.empty());
  wchar_t* sid = nullptr;
  ASSERT_TRUE(GetTokenOwnerSidString(&sid));
  EXPECT_EQ(std::wstring(sid), owner);
  LocalFree(sid);

  // The temporary folder is on C:, which keeps persistent access lists.
  ScratchDir dir(L"wdacl");
  OpenDirectory folder(dir.path());
  PSECURITY_DESCRIPTOR built = nullptr;
  ASSERT_TRUE(
      BuildWorkDirSecurity(ClassifyFolderVolume(folder.handle()), &built));
  ASSERT_NE(built, nullptr);

  // The written text, turned into a descriptor and back, is what the
  // built descriptor must read as.
  const std::wstring expected_text =
      L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)(A;OIIOCI;GA;;;SY)"
      L"(A;OIIOCI;GA;;;CO)(A;;FA;;;" +
      owner + L")";
  PSECURITY_DESCRIPTOR expected = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      expected_text.c_str(), SDDL_REVISION_1, &expected, nullptr));
  EXPECT_EQ(AccessListText(built), AccessListText(expected));
  LocalFree(expected);

  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(GetSecurityDescriptorControl(built, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  EXPECT_TRUE(control & SE_DACL_AUTO_INHERITED);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL acl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorDacl(built, &present, &acl, &defaulted));
  ASSERT_TRUE(present);
  ASSERT_NE(acl, nullptr);
  EXPECT_EQ(acl->AceCount, 6);
  LocalFree(built);
}

TEST(WorkDirSecurity, HighLabelForbidsWritingUpToEverythingInside) {
  ScratchDir dir(L"wdlabel");
  OpenDirectory folder(dir.path());
  PSECURITY_DESCRIPTOR built = nullptr;
  ASSERT_TRUE(BuildWorkDirSecurity(ClassifyFolderVolume(folder.handle()),
                                   &built, true));
  ASSERT_NE(built, nullptr);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  ASSERT_TRUE(GetSecurityDescriptorSacl(built, &present, &sacl, &defaulted));
  ASSERT_TRUE(present && sacl != nullptr);
  ASSERT_EQ(sacl->AceCount, 1);
  void* ace = nullptr;
  ASSERT_TRUE(GetAce(sacl, 0, &ace));
  auto* label = static_cast<SYSTEM_MANDATORY_LABEL_ACE*>(ace);
  EXPECT_EQ(label->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
  EXPECT_EQ(label->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
  EXPECT_EQ(label->Mask,
            static_cast<ACCESS_MASK>(SYSTEM_MANDATORY_LABEL_NO_WRITE_UP));
  wchar_t* sid = nullptr;
  ASSERT_TRUE(ConvertSidToStringSidW(&label->SidStart, &sid));
  EXPECT_STREQ(sid, L"S-1-16-12288");  // high
  LocalFree(sid);
  LocalFree(built);
}

TEST(WorkDirSecurity, VolumeThatCannotBeQueriedGetsNoDescriptor) {
  // No volume to ask: a plain directory, not a failure.
  PSECURITY_DESCRIPTOR built = reinterpret_cast<PSECURITY_DESCRIPTOR>(1);
  EXPECT_TRUE(
      BuildWorkDirSecurity(ClassifyFolderVolume(INVALID_HANDLE_VALUE), &built));
  EXPECT_EQ(built, nullptr);
}

TEST(DosPathStartsAtItsVolume, NotWhereTheDriveLetterIsAnotherVolumes) {
  const wchar_t kGuid[] =
      L"\\\\?\\Volume{0b1c2d3e-0000-0000-0000-100000000000}";
  const struct {
    std::wstring dos;
    std::wstring guid_tail;
    bool own;
  } cases[] = {
      {L"\\\\?\\C:\\Users\\u\\ZK_0A1B2.tmp", L"\\Users\\u\\ZK_0A1B2.tmp", true},
      {L"\\\\?\\c:\\USERS\\u\\ZK_0A1B2.tmp", L"\\Users\\u\\ZK_0A1B2.tmp", true},
      // The volume is mounted in C:\mnt\disk only.
      {L"\\\\?\\C:\\mnt\\disk\\d\\ZK_0A1B2.tmp", L"\\d\\ZK_0A1B2.tmp", false},
      {L"\\\\?\\C:\\d\\ZK_0A1B2.tmp", L"\\e\\ZK_0A1B2.tmp", false},
      {L"\\\\?\\UNC\\server\\share\\ZK_0A1B2.tmp", L"\\ZK_0A1B2.tmp", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(
        DosPathStartsAtItsVolume(c.dos.c_str(), (kGuid + c.guid_tail).c_str()),
        c.own)
        << Narrow(c.dos);
  }
}

TEST(PlainFormOfFinalPath, OrdinaryFormOnlyWhereItNamesTheSameObject) {
  const std::wstring long_name(259 - 3, L'd');
  const struct {
    std::wstring final_path;
    const wchar_t* plain;  // null: does not fit
  } cases[] = {
      {L"\\\\?\\C:\\Users\\u\\ZK_1A2B3.tmp", L"C:\\Users\\u\\ZK_1A2B3.tmp"},
      {L"\\\\?\\UNC\\server\\share\\ZK_1A2B3.tmp",
       L"\\\\server\\share\\ZK_1A2B3.tmp"},
      // No drive letter to name the volume by, or a name the ordinary form
      // would trim: the exact form stays.
      {L"\\\\?\\Volume{5f0c}\\ZK_1A2B3.tmp",
       L"\\\\?\\Volume{5f0c}\\ZK_1A2B3.tmp"},
      {L"\\\\?\\C:\\dl.\\ZK_1A2B3.tmp", L"\\\\?\\C:\\dl.\\ZK_1A2B3.tmp"},
      {L"\\\\?\\C:\\dl \\ZK_1A2B3.tmp", L"\\\\?\\C:\\dl \\ZK_1A2B3.tmp"},
      // The prefix does not count against the path's own limit.
      {L"\\\\?\\C:\\" + long_name, L""},
      {L"\\\\?\\C:\\" + long_name + L"d", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.final_path));
    PathBuf out;
    const bool fits =
        PlainFormOfFinalPath(c.final_path.c_str(), out.get(), kPathCapacity);
    EXPECT_EQ(fits, c.plain != nullptr);
    if (c.plain != nullptr && c.plain[0] != 0) {
      EXPECT_EQ(std::wstring(out.get()), c.plain);
    }
  }
}

// Runs in a child of this test binary: with TOKEN_QUERY denied on the
// process token, the owner SID cannot be read, so no directory is made.
TEST(WorkDirSecurityChild, LockedTokenGives117WithTheWindowsError) {
  if (GetEnvironmentVariableA(kLockTokenVariable, nullptr, 0) == 0) {
    GTEST_SKIP() << "only in the child started by the test below";
  }
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), WRITE_DAC, &token));
  SECURITY_DESCRIPTOR empty_dacl;
  ASSERT_TRUE(
      InitializeSecurityDescriptor(&empty_dacl, SECURITY_DESCRIPTOR_REVISION));
  char acl_bytes[64];
  PACL acl = reinterpret_cast<PACL>(acl_bytes);
  ASSERT_TRUE(InitializeAcl(acl, sizeof(acl_bytes), ACL_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&empty_dacl, TRUE, acl, FALSE));
  ASSERT_TRUE(
      SetKernelObjectSecurity(token, DACL_SECURITY_INFORMATION, &empty_dacl));
  CloseHandle(token);

  HANDLE probe = nullptr;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &probe)) {
    CloseHandle(probe);
    std::printf("token access is not checked here\n");
    ExitProcess(77);
  }
  const DWORD expected_error = GetLastError();
  EXPECT_EQ(expected_error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

  wchar_t base[MAX_PATH + 1];
  ASSERT_GT(GetEnvironmentVariableW(L"WORK_DIR_TEST_BASE", base, MAX_PATH), 0u);
  WorkDirectory work;
  ExitResult status = MakeExitResult(1, 1);
  EXPECT_FALSE(CreateWorkDirectory(base, &work, &status));
  EXPECT_EQ(status.exit_code, 117u);
  EXPECT_EQ(status.windows_error, expected_error);
  EXPECT_NE(status.windows_error, 0u);
}

TEST(WorkDirSecurity, UnreadableOwnerSidGives117AndNoDirectory) {
  ScratchDir dir(L"wd117");
  wchar_t self[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  ASSERT_GT(n, 0u);
  ChildOptions options;
  options.set_env[Widen(kLockTokenVariable)] = L"1";
  options.set_env[L"WORK_DIR_TEST_BASE"] = dir.path() + L"\\";
  const ChildOutcome outcome =
      RunChild(self,
               L"\"" + std::wstring(self) +
                   L"\" --gtest_filter=WorkDirSecurityChild.* --gtest_brief=1",
               options);
  ASSERT_TRUE(outcome.started) << outcome.start_error;
  if (outcome.exit_code == 77) {
    GTEST_SKIP() << "Wine does not check access to the process token, so "
                    "the owner SID cannot be made unreadable";
  }
  EXPECT_EQ(outcome.exit_code, 0u);
  EXPECT_TRUE(ListDirectory(dir.path()).empty());
}

}  // namespace

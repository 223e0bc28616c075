// The cases that only Windows can decide: what its loader searches, what
// NTFS stores and refuses, what a junction does to a path, and what a child
// inherits. Each skips itself under Wine, where the system does not do what
// the case depends on (the reason says what); on Windows each runs for real
// and says at its assertion what an installer without the protection would
// have done. Written against the documented behaviour of Windows 10 and
// later; none of them has run on Windows yet.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "e2e/whole_run.h"
#include "setup_stand_in/stand_in.h"
#include "support/links.h"
#include "support/test_support.h"
#include "work_directory.h"

namespace {

using namespace testing_support;

// A file or directory opened for no data and no deletion, which meets no
// sharing conflict with the installer's holds.
HANDLE OpenToLookAt(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

// A path as the system resolves it through every link, without "\\?\".
std::wstring FinalPath(const std::wstring& path) {
  const HANDLE handle = OpenToLookAt(path, FILE_READ_ATTRIBUTES);
  if (handle == INVALID_HANDLE_VALUE) return L"<not opened>";
  wchar_t final_path[MAX_PATH + 8];
  const DWORD n =
      GetFinalPathNameByHandleW(handle, final_path, MAX_PATH + 8, 0);
  CloseHandle(handle);
  if (n == 0 || n >= MAX_PATH + 8) return L"<no final path>";
  const std::wstring text(final_path, n);
  return text.compare(0, 4, L"\\\\?\\") == 0 ? text.substr(4) : text;
}

// "NTFS", "ReFS", "FAT32" ... of the volume holding path.
std::wstring FileSystemOf(const std::wstring& path) {
  wchar_t volume[MAX_PATH + 1];
  wchar_t name[MAX_PATH + 1];
  if (!GetVolumePathNameW(path.c_str(), volume, MAX_PATH + 1) ||
      !GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr, nullptr,
                             name, MAX_PATH + 1)) {
    return L"";
  }
  return name;
}

// The build number, as the kernel reports it whatever the program's
// manifest claims.
DWORD WindowsBuild() {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
  const auto get_version =
      reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(
          GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  OSVERSIONINFOW info = {};
  info.dwOSVersionInfoSize = sizeof info;
  return get_version != nullptr && get_version(&info) == 0 ? info.dwBuildNumber
                                                           : 0;
}

// A copy of the program at source whose load configuration asks for no
// search of its own (DependentLoadFlags, at 0x4E of the directory, zeroed),
// so that the loader binds its imports and their forwarders by the
// standard search, as it does on every Windows before 1607. Empty when
// written; else what kept it.
std::string CopyWithoutDependentLoadFlags(const std::wstring& source,
                                          const std::wstring& target) {
  std::string image = ReadFileBytes(source);
  auto read = [&image](size_t at, size_t bytes) -> uint64_t {
    uint64_t value = 0;
    if (at + bytes > image.size()) return 0;
    memcpy(&value, image.data() + at, bytes);
    return value;
  };
  const size_t headers = static_cast<size_t>(read(0x3C, 4));
  const size_t optional = headers + 24;
  const size_t sections = optional + read(headers + 20, 2);
  // PE32+: the data directories begin at 112; load configuration is #10.
  if (read(headers, 4) != 0x4550 || read(optional, 2) != 0x20B) {
    return "not a PE32+ image";
  }
  const uint64_t directory = read(optional + 112 + 10 * 8, 4);
  for (uint64_t i = 0; i < read(headers + 6, 2); ++i) {
    const size_t section = sections + static_cast<size_t>(i) * 40;
    const uint64_t address = read(section + 12, 4);
    const uint64_t raw_size = read(section + 16, 4);
    if (directory < address || directory + 0x50 > address + raw_size) continue;
    const size_t flags =
        static_cast<size_t>(read(section + 20, 4) + directory - address) + 0x4E;
    if (read(flags, 2) != LOAD_LIBRARY_SEARCH_SYSTEM32) {
      return "DependentLoadFlags is not 0x800 in the installer as built";
    }
    image[flags] = 0;
    image[flags + 1] = 0;
    return WriteFileBytes(target, image) ? "" : "not written";
  }
  return "no load configuration directory in a section";
}

// The access list of a file or directory as the file system keeps it.
std::wstring StoredAccessList(const std::wstring& path) {
  const HANDLE handle = OpenToLookAt(path, READ_CONTROL);
  if (handle == INVALID_HANDLE_VALUE) return L"<not opened>";
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status =
      GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, nullptr, nullptr, &descriptor);
  CloseHandle(handle);
  if (status != ERROR_SUCCESS) return L"<not read>";
  const std::wstring text = AccessListText(descriptor);
  LocalFree(descriptor);
  return text;
}

// A list in the language's text as the system writes it back (aliases for
// well-known SIDs, its own order of the flags).
std::wstring Canonical(const std::wstring& access_list) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          access_list.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return L"<not parsed>";
  }
  const std::wstring text = AccessListText(descriptor);
  LocalFree(descriptor);
  return text;
}

// A list's text taken apart: its control flags ("D:PAI") and its entries.
// Entries compare as a set: when the token owner is Administrators (an
// elevated run), its entry and the one for Administrators are alike, and
// Windows documents no rule for keeping or merging the pair.
struct AccessList {
  std::wstring control;
  std::set<std::wstring> entries;
};

AccessList Parse(const std::wstring& text) {
  AccessList list{text.substr(0, text.find(L'(')), {}};
  for (size_t at = text.find(L'('); at != std::wstring::npos;) {
    const size_t end = text.find(L')', at);
    list.entries.insert(text.substr(at, end - at + 1));
    at = end == std::wstring::npos ? end : text.find(L'(', end);
  }
  return list;
}

void ExpectStored(const std::wstring& stored, const std::wstring& expected) {
  const AccessList got = Parse(stored);
  const AccessList want = Parse(Canonical(expected));
  EXPECT_EQ(got.control, want.control) << Narrow(stored);
  EXPECT_EQ(got.entries, want.entries) << Narrow(stored);
}

class OnWindows : public WholeRun {
 protected:
  // A patch installer, and the previous setup program it patches,
  // installed where "UninstallString" says.
  std::wstring Patch(const std::wstring& path) {
    const std::wstring previous = dir_ / L"1.0.0.0";
    EXPECT_TRUE(CreateDirectoryW(previous.c_str(), nullptr));
    EXPECT_TRUE(WriteFileBytes(previous + L"\\setup.exe", stand_in_));
    EXPECT_TRUE(SetStringValue(HKEY_CURRENT_USER, StatePath(),
                               L"UninstallString",
                               L"\"" + previous + L"\\setup.exe\"", true));
    return Build(
        InstallerVariant(path)
            .Add(L"B7", L"KORVEN.PACKED.7Z", archive_)
            .Add(L"B7", L"SETUP.PATCH", "a patch for the previous program")
            .PreviousVersion(L"1.0.0.0")
            .SetupRecord(stand_in_));
  }

  // A patch run whose previous setup program puts a link of this kind,
  // leading to target, where the new setup program belongs.
  void ExpectNewSetupLinkRefused(const wchar_t* kind,
                                 const std::wstring& target) {
    options_.set_env[stand_in::kNewSetupLink] = kind;
    options_.set_env[stand_in::kNewSetupLinkTarget] = target;
    // An installer that opened the new setup program by following the link
    // would start the target, or delete in the folder it leads to.
    EXPECT_EQ(Run(Patch(InstallerPath())), 124u);
    ASSERT_EQ(runs_.size(), 1u) << "only the patch run may start";
    EXPECT_EQ(Field(runs_[0], "new_setup_link"), kind) << runs_[0].Get("error");
    ExpectFailureRecorded(124, ERROR_BAD_FILE_TYPE);
    ExpectFolderClean();
  }
};

TEST_F(OnWindows, CanaryLibrariesBesideThePackedInstallerAreNotLoaded) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine's advapi32 forwards nothing to "
                    "cryptbase.dll, and Wine loads its own library for a "
                    "system name";
  }
  const std::string marker = ReadFileBytes(PathFromEnvironment("MARKER_DLL"));
  const std::string cryptbase =
      ReadFileBytes(PathFromEnvironment("CRYPTBASE_CANARY"));
  ASSERT_FALSE(marker.empty());
  ASSERT_FALSE(cryptbase.empty());
  ASSERT_TRUE(WriteFileBytes(folder_ + L"\\cryptbase.dll", cryptbase));
  ASSERT_TRUE(WriteFileBytes(folder_ + L"\\version.dll", marker));
  ASSERT_TRUE(WriteFileBytes(folder_ + L"\\cabinet.dll", marker));
  ASSERT_TRUE(CopyFileW(PathFromEnvironment("PACKED_BL").c_str(),
                        InstallerPath().c_str(), FALSE));
  // The second control: the same installer without the load
  // configuration's search. DependentLoadFlags would keep the canary away
  // from an installer importing SystemFunction036 on 1607 and later; this
  // copy shows that nothing in the import table itself leads to it.
  const std::wstring unflagged = folder_ + L"\\unflagged.exe";
  ASSERT_EQ(CopyWithoutDependentLoadFlags(InstallerPath(), unflagged), "");
  const std::wstring control = folder_ + L"\\control.exe";
  ASSERT_TRUE(
      CopyFileW(PathFromEnvironment("IMPORT_RTL_GEN_RANDOM_EXE").c_str(),
                control.c_str(), FALSE));
  options_.current_directory = folder_;

  const ChildOutcome controlled =
      RunChild(control, L"\"" + control + L"\"", options_);
  EXPECT_EQ(controlled.exit_code, 0u);
  ASSERT_TRUE(Exists(folder_ + L"\\cryptbase.dll.control.exe.loaded"))
      << "the control did not load the canary, so the installer's runs "
         "below would prove nothing";

  // An installer importing SystemFunction036, or whose imports' forwarders
  // are resolved through the standard search, loads the canary before its
  // entry point: "cryptbase.dll.installer.exe.loaded".
  EXPECT_EQ(Run(InstallerPath()), 0u);
  ExpectSuccessRecorded();
  ASSERT_TRUE(ResetState());
  EXPECT_EQ(Run(unflagged), 0u);
  ExpectSuccessRecorded();
  for (const std::wstring& name : ListDirectory(folder_)) {
    EXPECT_EQ(name.find(L".installer.exe.loaded"), std::wstring::npos)
        << Narrow(name);
    EXPECT_EQ(name.find(L".unflagged.exe.loaded"), std::wstring::npos)
        << Narrow(name);
  }
}

TEST_F(OnWindows, WorkDirectoryAndItsFilesCarryTheStoredProtectedList) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine 8 stores no access list on a folder";
  }
  wchar_t volume[MAX_PATH + 1];
  DWORD flags = 0;
  ASSERT_TRUE(GetVolumePathNameW(folder_.c_str(), volume, MAX_PATH + 1));
  ASSERT_TRUE(GetVolumeInformationW(volume, nullptr, 0, nullptr, nullptr,
                                    &flags, nullptr, 0));
  if ((flags & FILE_PERSISTENT_ACLS) == 0 ||
      GetDriveTypeW(volume) == DRIVE_REMOTE) {
    GTEST_SKIP() << "the temporary folder is not on a local volume that "
                    "keeps access lists";
  }
  const std::wstring owner = TokenOwnerSid();
  ASSERT_FALSE(owner.empty());
  ASSERT_TRUE(StartAndWaitForSetup(Ordinary(InstallerPath()), 1));
  const std::wstring work = WorkDirectoryOf(runs_[0]);
  const std::wstring directory_list = StoredAccessList(work);
  const std::wstring archive_list =
      StoredAccessList(work + L"\\KORVEN.PACKED.7Z");
  EXPECT_EQ(LetSetupGo(), 0u);
  ExpectFolderClean();

  // As built: protected, nothing of the folder above, the entries for the
  // children inherit-only with their generic rights. Without the list the
  // directory would carry what the folder passes on (Users, Everyone ...).
  ExpectStored(directory_list,
               L"D:PAI(A;;FA;;;BA)(A;OIIOCI;GA;;;BA)(A;;FA;;;SY)"
               L"(A;OIIOCI;GA;;;SY)(A;OIIOCI;GA;;;CO)(A;;FA;;;" +
                   owner + L")");
  // A file made inside gets the three entries for children and nothing
  // else: marked inherited, GENERIC_ALL mapped to the file's full access,
  // and CREATOR OWNER replaced by the file's owner, the installer's token
  // owner.
  ExpectStored(archive_list,
               L"D:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;FA;;;" + owner + L")");
}

TEST_F(OnWindows, JunctionInTheFolderPathRetargetedMidRunChangesNothing) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine 8 makes no junction from a Windows "
                    "program";
  }
  const std::wstring real = dir_ / L"real";
  const std::wstring other = dir_ / L"other";
  const std::wstring link = dir_ / L"link";
  ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(other.c_str(), nullptr));
  ASSERT_TRUE(links::MakeJunction(link, real)) << GetLastError();
  Patch(real + L"\\installer.exe");

  // The patch road: after the previous setup program (which waits here)
  // the installer starts the new one and cleans up, both by path.
  ASSERT_TRUE(StartAndWaitForSetup(link + L"\\installer.exe", 1));
  const std::wstring new_setup = Field(runs_[0], "new_setup");
  const std::wstring work = new_setup.substr(0, new_setup.rfind(L'\\'));
  const std::wstring name = work.substr(work.rfind(L'\\') + 1);
  EXPECT_EQ(work, FinalPath(real) + L"\\" + name)
      << "the run's paths go through the junction";
  // The same names where the junction leads next; the setup.exe there
  // would report from that folder, were it started.
  const std::wstring decoys = other + L"\\" + name;
  const std::vector<std::wstring> names = {L"KORVEN.PACKED.7Z", L"SETUP.PATCH",
                                           L"setup.exe"};
  ASSERT_TRUE(CreateDirectoryW(decoys.c_str(), nullptr));
  for (const std::wstring& file : names) {
    ASSERT_TRUE(WriteFileBytes(decoys + L"\\" + file, stand_in_));
  }
  ASSERT_TRUE(RemoveDirectoryW(link.c_str()));
  ASSERT_TRUE(links::MakeJunction(link, other)) << GetLastError();

  // Paths built from the installer's folder would now start the decoy
  // setup.exe and delete the decoys, and leave the run's own directory.
  EXPECT_EQ(LetSetupGo(), 0u);
  ASSERT_EQ(runs_.size(), 2u);
  EXPECT_EQ(Field(runs_[1], "exe"), work + L"\\setup.exe");
  EXPECT_EQ(ListDirectory(decoys), names);
  for (const std::wstring& file : names) {
    EXPECT_EQ(ReadFileBytes(decoys + L"\\" + file), stand_in_);
  }
  EXPECT_EQ(ListDirectory(real), std::vector<std::wstring>{L"installer.exe"});
  ExpectSuccessRecorded();
}

TEST_F(OnWindows, NewSetupProgramThatIsAJunctionIsRefused) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine 8 makes no junction from a Windows "
                    "program";
  }
  const std::wstring target = dir_ / L"target";
  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  ASSERT_TRUE(WriteFileBytes(target + L"\\setup.exe", stand_in_));
  ExpectNewSetupLinkRefused(L"junction", target);
  EXPECT_EQ(ListDirectory(target), std::vector<std::wstring>{L"setup.exe"});
}

TEST_F(OnWindows, NewSetupProgramThatIsASymbolicLinkIsRefused) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine 8 makes no symbolic link from a "
                    "Windows program";
  }
  const std::wstring target = dir_ / L"target.exe";
  ASSERT_TRUE(WriteFileBytes(target, stand_in_));
  if (!links::MakeFileSymbolicLink(dir_ / L"probe", target)) {
    GTEST_SKIP() << "this account may not make symbolic links (neither the "
                    "privilege nor developer mode)";
  }
  ExpectNewSetupLinkRefused(L"symlink", target);
  EXPECT_EQ(ReadFileBytes(target), stand_in_);
}

TEST(OnWindowsHeldWorkDirectory, KeepsTheFolderAboveItFromBeingRenamed) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine renames a folder while something "
                    "beneath it is open";
  }
  ScratchDir dir(L"held");
  if (FileSystemOf(dir.path()) != L"NTFS") {
    GTEST_SKIP() << "the temporary folder is not on NTFS";
  }
  const std::wstring folder = dir / L"Downloads";
  const std::wstring moved = dir / L"Moved";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  WorkDirectory work;
  ExitResult status = MakeExitResult(1, 1);
  ASSERT_TRUE(CreateWorkDirectory((folder + L"\\").c_str(), &work, &status));
  // Nothing else is open beneath the folder (this program runs from
  // elsewhere): a directory that was only made, not held, would let the
  // folder and every path built in it move away.
  EXPECT_FALSE(MoveFileW(folder.c_str(), moved.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  work.Release();
  EXPECT_TRUE(MoveFileW(folder.c_str(), moved.c_str()))
      << "released, the folder must move; else something other than the "
         "hold kept it";
}

TEST_F(OnWindows, ArchiveHeldWithDeleteSharingAtTheCleanupLeavesNothing) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: a deleted name goes at once only with "
                    "NTFS's POSIX semantics on Windows";
  }
  // FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE, which the cleanup
  // passes with the POSIX flag, is known only from 1809 on.
  if (FileSystemOf(folder_) != L"NTFS" || WindowsBuild() < 17763) {
    GTEST_SKIP() << "POSIX delete semantics with the flags the cleanup "
                    "passes need NTFS and Windows 10 1809 (build 17763) or "
                    "later";
  }
  // A scanner's open: it lets others delete, and lets go half a minute
  // after the setup program has ended.
  options_.set_env[stand_in::kHoldMs] = L"30000";
  options_.set_env[stand_in::kHolderExe] = dir_ / L"scanner.exe";
  options_.set_env[stand_in::kHoldShareDelete] = L"1";
  const DWORD code = Run(Ordinary(InstallerPath()));
  ASSERT_EQ(runs_.size(), 1u);
  const EndsProcess end_scanner{
      static_cast<DWORD>(std::stoul("0" + runs_[0].Get("holder_pid"))),
      dir_ / L"scanner.exe"};
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(Field(runs_[0], "held"),
            WorkDirectoryOf(runs_[0]) + L"\\KORVEN.PACKED.7Z");
  // With the classic disposition the archive's name stays while the
  // scanner holds it, so its directory cannot go: 100 attempts, 0x30063,
  // and the directory left behind.
  ExpectFolderClean();
  ExpectSuccessRecorded(0x30000);
}

TEST_F(OnWindows, JunctionNamedLikeAKilledRunsFolderIsNotReclaimed) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine 8 makes no junction from a Windows "
                    "program";
  }
  // A junction that bears a work directory's name, leading to a folder
  // that holds the names the installer writes. A reclaim that followed it
  // would delete them there, elevated where the run is.
  const std::wstring outside = dir_ / L"outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  for (const wchar_t* name : {L"KORVEN.PACKED.7Z", L"setup.exe"}) {
    ASSERT_TRUE(WriteFileBytes(outside + L"\\" + name, "outside"));
  }
  const std::wstring junction = folder_ + L"\\ZK_0A1B2.tmp";
  ASSERT_TRUE(links::MakeJunction(junction, outside)) << GetLastError();
  // A plain leftover beside it, which this run's reclaim must take: else
  // the junction stayed only because no reclaim ran.
  const std::wstring leftover = folder_ + L"\\ZK_0C3D4.tmp";
  ASSERT_TRUE(CreateDirectoryW(leftover.c_str(), nullptr));
  for (const wchar_t* name : {L"KORVEN.PACKED.7Z", L"setup.exe"}) {
    ASSERT_TRUE(WriteFileBytes(leftover + L"\\" + name, "left"));
  }
  EXPECT_EQ(Run(Ordinary(InstallerPath())), 0u);
  EXPECT_FALSE(Exists(leftover)) << "no reclaim ran";
  for (const wchar_t* name : {L"KORVEN.PACKED.7Z", L"setup.exe"}) {
    EXPECT_EQ(ReadFileBytes(outside + L"\\" + name), "outside") << name;
  }
  const DWORD attributes = GetFileAttributesW(junction.c_str());
  EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  ExpectSuccessRecorded();
}

TEST_F(OnWindows, SetupProgramStartsWithTheDefaultErrorMode) {
  if (RunningOnWine()) {
    GTEST_SKIP() << "Windows only: Wine passes no error mode on to a child, "
                    "so the setup program gets the default either way";
  }
  options_.set_env[stand_in::kReportErrorMode] = L"1";
  EXPECT_EQ(Run(Ordinary(InstallerPath())), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  // 0 is the system's default ("display all error boxes"). Created without
  // CREATE_DEFAULT_ERROR_MODE the program would inherit the installer's own
  // SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX:
  // 32771.
  EXPECT_EQ(runs_[0].Get("error_mode"), "0");
}

}  // namespace

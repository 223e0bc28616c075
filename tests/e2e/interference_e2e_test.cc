// Whole runs while someone else acts on the installer's folder: a link in
// the folder's path retargeted while the setup program runs, the setup
// program rewritten between its expansion and its start, and a setup
// program that moves its own file aside and back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/whole_run.h"
#include "support/test_support.h"

namespace {

using namespace testing_support;

// The program was the packed one when written, and was changed since.
constexpr DWORD kChangedSince = ERROR_FILE_INVALID;

// Starts a host program with this command line, the paths in it being
// the host's. Wine makes no links from a Windows program, but starts a
// host program for it.
bool StartHostProgram(const wchar_t* program, std::wstring line) {
  // Wine hands back no handles of its own for a host program: the process
  // handle is null, and the thread handle's place holds whatever value it
  // leaves there, which may be a handle of this process (closing it in one
  // run closed the cached key of HKEY_CURRENT_USER, and every registry call
  // after failed with 6). So none is touched, and what it does is looked
  // at instead.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION ignored = {};
  return CreateProcessW(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &ignored) != FALSE;
}

// The host's path of a folder; empty when Wine cannot say.
std::wstring HostPath(const std::wstring& folder) {
  using UnixNameFn = char*(CDECL*)(const wchar_t*);
  const UnixNameFn unix_name =
      reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(GetProcAddress(
          GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = unix_name != nullptr ? unix_name(folder.c_str()) : nullptr;
  if (name == nullptr) return std::wstring();
  const std::wstring host = Widen(name);
  HeapFree(GetProcessHeap(), 0, name);
  return host;
}

// Points the host symbolic link named link inside folder at the entry
// target beside it, making or replacing it.
bool HostSymlink(const std::wstring& folder, const std::wstring& target,
                 const std::wstring& link) {
  const std::wstring host = HostPath(folder);
  if (host.empty() ||
      !StartHostProgram(L"Z:\\bin\\ln", L"ln -sfn \"" + host + L"/" + target +
                                            L"\" \"" + host + L"/" + link +
                                            L"\"")) {
    return false;
  }
  const std::wstring wanted = L"\\" + target;
  for (int i = 0; i < 1000; ++i) {
    HANDLE opened = CreateFileW((folder + L"\\" + link).c_str(),
                                FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
      wchar_t final_path[MAX_PATH];
      const DWORD n =
          GetFinalPathNameByHandleW(opened, final_path, MAX_PATH, 0);
      CloseHandle(opened);
      const std::wstring leads_to(final_path, n < MAX_PATH ? n : 0);
      if (leads_to.size() >= wanted.size() &&
          leads_to.compare(leads_to.size() - wanted.size(), wanted.size(),
                           wanted) == 0) {
        return true;
      }
    }
    Sleep(10);
  }
  return false;
}

// Removes the host link on every way out of a case. Wine takes a link to
// a folder for the folder: the scratch folder's removal would empty the
// folder it leads to and leave the link itself behind.
struct RemovesHostLink {
  std::wstring folder;
  std::wstring link;
  ~RemovesHostLink() {
    const std::wstring host = HostPath(folder);
    if (host.empty() ||
        !StartHostProgram(L"Z:\\bin\\rm",
                          L"rm -f \"" + host + L"/" + link + L"\"")) {
      return;
    }
    const std::wstring path = folder + L"\\" + link;
    for (int i = 0; i < 1000 && Exists(path); ++i) Sleep(10);
  }
};

class Interference : public WholeRun {};

TEST_F(Interference, LinkInTheFolderPathRetargetedWhileTheSetupProgramRuns) {
  if (!RunningOnWine()) {
    GTEST_SKIP() << "needs a host symbolic link; on Windows the suite's "
                    "junction case shows the same";
  }
  const std::wstring real = dir_ / L"real";
  const std::wstring decoy = dir_ / L"decoy";
  const std::wstring link = dir_ / L"link";
  ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(decoy.c_str(), nullptr));
  const RemovesHostLink removes_link{dir_.path(), L"link"};
  ASSERT_TRUE(HostSymlink(dir_.path(), L"real", L"link"));
  Ordinary(real + L"\\installer.exe");
  ASSERT_TRUE(StartAndWaitForSetup(link + L"\\installer.exe", 1));
  // The run knows its directory by what it is, not by the link's path.
  const std::wstring work = WorkDirectoryOf(runs_[0]);
  ASSERT_EQ(work.substr(0, real.size() + 4), real + L"\\ZK_");
  EXPECT_EQ(Field(runs_[0], "archive"), work + L"\\KORVEN.PACKED.7Z");

  // The same names where the link leads next; an installer that looked
  // its paths up again would delete these.
  const std::wstring elsewhere = decoy + work.substr(real.size());
  ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
  for (const wchar_t* name : {L"KORVEN.PACKED.7Z", L"setup.exe"}) {
    ASSERT_TRUE(WriteFileBytes(elsewhere + L"\\" + name, "decoy"));
  }
  ASSERT_TRUE(HostSymlink(dir_.path(), L"decoy", L"link"));

  EXPECT_EQ(LetSetupGo(), 0u);
  for (const wchar_t* name : {L"KORVEN.PACKED.7Z", L"setup.exe"}) {
    EXPECT_EQ(ReadFileBytes(elsewhere + L"\\" + name), "decoy") << name;
  }
  EXPECT_EQ(ListDirectory(real), std::vector<std::wstring>{L"installer.exe"});
  ExpectSuccessRecorded();
}

TEST_F(Interference, SetupProgramRewrittenBeforeItsStartIsNeverStarted) {
  // Where no access list keeps others out (FAT and exFAT, shares), anyone
  // may rewrite the expanded setup program in place, keeping its name and
  // its file ID. Here another process holds the cabinet, so that the
  // installer waits to delete it right after the expansion, and rewrites
  // the setup program meanwhile.
  const std::wstring installer = Ordinary(InstallerPath());
  DeleteFileW(report_.c_str());
  BackgroundChild child;
  ASSERT_TRUE(child.Start(installer, L"\"" + installer + L"\"", options_))
      << child.start_error();
  std::wstring work;
  HANDLE cabinet = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 200000 && cabinet == INVALID_HANDLE_VALUE; ++i) {
    if (work.empty()) {
      for (const std::wstring& name : ListDirectory(folder_)) {
        if (name.rfind(L"ZK_", 0) == 0) work = folder_ + L"\\" + name;
      }
      continue;
    }
    // Opens only once the installer has closed what it wrote, and keeps
    // it from being deleted.
    cabinet = CreateFileW((work + L"\\SETUP.EX_").c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr);
    if (child.Wait(0)) break;
  }
  ASSERT_NE(cabinet, INVALID_HANDLE_VALUE)
      << "the cabinet was gone before it could be held";
  HANDLE setup = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 20000 && setup == INVALID_HANDLE_VALUE; ++i) {
    setup = CreateFileW(
        (work + L"\\setup.exe").c_str(), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (setup == INVALID_HANDLE_VALUE) Sleep(1);
  }
  ASSERT_NE(setup, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  // One byte in the middle of the program, written in place.
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(setup, &size));
  ASSERT_EQ(static_cast<size_t>(size.QuadPart), stand_in_.size());
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(stand_in_.size() / 2);
  const char changed = static_cast<char>(stand_in_[stand_in_.size() / 2] ^ 1);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(setup, &changed, 1, &written, &at));
  CloseHandle(setup);
  CloseHandle(cabinet);

  DWORD code = 0;
  ASSERT_TRUE(child.Wait(120000, &code));
  EXPECT_EQ(code, 124u);
  EXPECT_EQ(ReadFileBytes(report_), "") << "the rewritten program ran";
  ExpectFolderClean();
  ExpectFailureRecorded(124, kChangedSince);
}

TEST_F(Interference, SetupProgramMayMoveItsOwnFileAsideAndBack) {
  options_.set_env[L"STAND_IN_MOVE_SELF"] = L"1";
  EXPECT_EQ(Run(Ordinary(InstallerPath())), 0u);
  ASSERT_EQ(runs_.size(), 1u);
  EXPECT_TRUE(runs_[0].Has("moved")) << runs_[0].Get("error");
  ExpectFolderClean();
  ExpectSuccessRecorded();
}

}  // namespace

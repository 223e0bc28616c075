// A previous setup program for the execution-alias case (Windows only):
// its patch run writes the new setup program where it is asked to, with
// the genuine bytes (a copy of ALIAS_GENUINE_EXE), and makes that file an
// execution alias (IO_REPARSE_TAG_APPEXECLINK) naming ALIAS_TARGET_EXE, as
// the aliases in %LOCALAPPDATA%\Microsoft\WindowsApps are.
//   plant_alias --update-setup-exe="PATCH" --new-setup-exe="PATH" [...]
// 0 when planted; 1 without a new-setup-exe; 2 when the copy, 3 when the
// reparse point failed (the error is printed).
#include <windows.h>
#include <shellapi.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kAppExecLinkTag = 0x8000001B;  // IO_REPARSE_TAG_APPEXECLINK

std::wstring Environment(const wchar_t* name) {
  wchar_t value[MAX_PATH + 1];
  const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH + 1);
  return n == 0 || n > MAX_PATH ? L"" : std::wstring(value, n);
}

// The alias's data: a version (3), then the package, the application's
// model ID, the program to start and the application type, each a UTF-16
// text with its terminator.
std::vector<char> AliasData(const std::wstring& target) {
  const std::wstring texts[] = {L"Quenby.Decoy_8wekyb3d8bbwe",
                                L"Quenby.Decoy_8wekyb3d8bbwe!App", target,
                                L"0"};
  std::vector<char> data(4, 0);
  data[0] = 3;
  for (const std::wstring& text : texts) {
    const char* bytes = reinterpret_cast<const char*>(text.c_str());
    data.insert(data.end(), bytes, bytes + (text.size() + 1) * 2);
  }
  return data;
}

}  // namespace

int wmain() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring new_setup;
  const std::wstring key = L"--new-setup-exe=";
  for (int i = 1; i < argc; ++i) {
    if (std::wstring(argv[i]).compare(0, key.size(), key) == 0) {
      new_setup = argv[i] + key.size();
    }
  }
  if (new_setup.empty()) return 1;
  if (!CopyFileW(Environment(L"ALIAS_GENUINE_EXE").c_str(), new_setup.c_str(),
                 FALSE)) {
    std::printf("copy failed: %lu\n", GetLastError());
    return 2;
  }
  const std::vector<char> data = AliasData(Environment(L"ALIAS_TARGET_EXE"));
  std::vector<char> buffer(8 + data.size(), 0);
  const DWORD tag = kAppExecLinkTag;
  const USHORT length = static_cast<USHORT>(data.size());
  std::memcpy(&buffer[0], &tag, 4);
  std::memcpy(&buffer[4], &length, 2);
  std::memcpy(&buffer[8], data.data(), data.size());
  const HANDLE file = CreateFileW(
      new_setup.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
      nullptr);
  DWORD returned = 0;
  const bool set = file != INVALID_HANDLE_VALUE &&
                   DeviceIoControl(file, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                   static_cast<DWORD>(buffer.size()), nullptr,
                                   0, &returned, nullptr);
  if (!set) std::printf("reparse point not set: %lu\n", GetLastError());
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return set ? 0 : 3;
}

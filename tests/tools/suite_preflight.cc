// suite_preflight.exe SUITE_FOLDER
//
// What run-suite.cmd checks before it touches anything, in the Windows
// suite's folder (it is there as tests\suite_preflight.exe):
// - the folder is whole: every file that suite-files.txt lists (one
//   "SIZE PATH" a line, the path relative to the folder, in UTF-8) is there
//   with its size. A run started from inside the zip, or a copy cut short,
//   has programs missing.
// - the files do not carry the mark of the web (a Zone.Identifier stream,
//   which Windows gives every file taken out of a downloaded zip that was
//   not unblocked first): Smart App Control and SmartScreen judge such
//   programs, and the copies the tests make of them, by it.
// - Smart App Control is not on: it blocks unsigned programs, which every
//   test program is.
// - this program runs elevated: the machine-wide cases write
//   HKEY_LOCAL_MACHINE.
// Prints one line for each problem, with what to do.
// Exit codes: 0 nothing wrong; 10 problems printed; 1 bad arguments.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kProblems = 10;

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      &out[0], n);
  return out;
}

std::string ReadAll(const std::wstring& path, bool* read) {
  std::string out;
  *read = false;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return out;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    out.append(buffer, got);
  }
  CloseHandle(file);
  *read = true;
  return out;
}

// Files listed but absent or of another size; the first of them in *first.
int CountMissing(const std::wstring& folder, std::wstring* first) {
  bool read = false;
  const std::string list = ReadAll(folder + L"\\suite-files.txt", &read);
  if (!read) {
    *first = L"suite-files.txt";
    return 1;
  }
  int missing = 0;
  size_t at = 0;
  while (at < list.size()) {
    size_t end = list.find('\n', at);
    if (end == std::string::npos) end = list.size();
    std::string line = list.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t space = line.find(' ');
    if (space == std::string::npos) continue;
    const unsigned long long size = std::strtoull(line.c_str(), nullptr, 10);
    const std::wstring name = Widen(line.substr(space + 1));
    WIN32_FILE_ATTRIBUTE_DATA data;
    const std::wstring path = L"\\\\?\\" + folder + L"\\" + name;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
        (static_cast<unsigned long long>(data.nFileSizeHigh) << 32 |
         data.nFileSizeLow) == size) {
      continue;
    }
    if (missing++ == 0) *first = name;
  }
  return missing;
}

bool MarkedFromTheWeb(const std::wstring& path) {
  return GetFileAttributesW((path + L":Zone.Identifier").c_str()) !=
         INVALID_FILE_ATTRIBUTES;
}

// HKLM\SYSTEM\CurrentControlSet\Control\CI\Policy
// "VerifiedAndReputablePolicyState": 0 off, 1 on, 2 evaluation. Absent
// before Windows 11 22H2.
DWORD SmartAppControlState() {
  DWORD state = 0;
  DWORD size = sizeof state;
  if (RegGetValueW(HKEY_LOCAL_MACHINE,
                   L"SYSTEM\\CurrentControlSet\\Control\\CI\\Policy",
                   L"VerifiedAndReputablePolicyState", RRF_RT_REG_DWORD,
                   nullptr, &state, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return state;
}

bool Elevated() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return false;
  }
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  const bool elevated = GetTokenInformation(token, TokenElevation, &elevation,
                                            sizeof elevation, &size) &&
                        elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 1;
  std::wstring folder = argv[1];
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  int problems = 0;

  std::wstring first;
  const int missing = CountMissing(folder, &first);
  if (missing != 0) {
    ++problems;
    std::wprintf(
        L"The folder is not whole: %d file(s) missing or cut short, the "
        L"first %ls. Unpack the whole zip into a local folder (not run from "
        L"inside the zip) and run run-suite.cmd there.\n",
        missing, first.c_str());
  }
  wchar_t self[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  if ((length > 0 && length <= MAX_PATH && MarkedFromTheWeb(self)) ||
      MarkedFromTheWeb(folder + L"\\run-suite.cmd")) {
    ++problems;
    std::wprintf(
        L"The files carry the mark of the web: the zip was unpacked without "
        L"being unblocked. Delete this folder, unblock the zip (its "
        L"Properties, \"Unblock\"; or PowerShell's Unblock-File), and unpack "
        L"it again.\n");
  }
  const DWORD smart_app_control = SmartAppControlState();
  if (smart_app_control == 1) {
    ++problems;
    std::wprintf(
        L"Smart App Control is on: it blocks the suite's programs, which are "
        L"not signed. Run the suite on a test machine where it is off "
        L"(README, On Windows).\n");
  } else if (smart_app_control == 2) {
    std::wprintf(
        L"Note: Smart App Control is evaluating this machine and may block "
        L"the suite's programs, which are not signed.\n");
  }
  if (!Elevated()) {
    ++problems;
    std::wprintf(
        L"This prompt is not elevated: the machine-wide cases write "
        L"HKEY_LOCAL_MACHINE. Open a command prompt with \"Run as "
        L"administrator\" and run run-suite.cmd from it.\n");
  }
  std::fflush(stdout);
  return problems == 0 ? 0 : kProblems;
}

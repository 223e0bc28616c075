// A stand-in for the product's setup program: it accepts the two command
// lines the installer uses, checks what it was given, does on request the
// few things a real setup program does that the installer must cope with,
// and reports what it saw. A GUI-subsystem program, so it never opens a
// window or a console.
//
// Command lines (values as the installer writes them, quoted):
//   install run:  setup.exe --install-archive="PATH" |
//   --uncompressed-archive="PATH"
//                           [--previous-version="V"] [installer's own
//                           arguments...]
//                           [--tarvo-referral-code="CODE"]
//   patch run:    setup.exe --update-setup-exe="PATCH" --new-setup-exe="PATH"
//                           [installer's own arguments...]
//   (internal)    setup.exe --stand-in-hold="FILE" --stand-in-hold-ms=N
//                           --stand-in-ready=HANDLE [--stand-in-hold-write]
//
// Install run: the archive must exist and begin with the 7z signature
// 37 7A BC AF 27 1C. Patch run: the patch file must exist; on success a copy
// of this program is written at the new-setup-exe path, a working setup
// program for the install run that follows. The last argument counts as the
// referral code only when it is a "--tarvo-referral-code=" switch.
//
// Environment variables (all optional):
//   STAND_IN_REPORT=FILE          append a report of the run to FILE (below).
//   STAND_IN_EXIT_CODE=N          exit code of an install run that found
//                                 nothing wrong (default 0).
//   STAND_IN_PATCH_EXIT_CODE=N    the same for a patch run (default 0); a
//                                 non-zero code writes no new setup program.
//   STAND_IN_INSTALLER_RESULT=N   write "InstallerResult" = N (REG_DWORD) into
//                                 the ClientState key, in either run.
//   STAND_IN_CLIENT_STATE=HKCU|HKLM  root of the ClientState key (default
//                                 HKCU); the key is
//                                 Software\Quenby\Update\ClientState\{GUID}
//                                 in the 32-bit view, created when absent.
//   STAND_IN_APP_GUID={GUID}      its application GUID (default: the stable
//                                 channel's).
//   STAND_IN_INSTALL_TO=DIR       after an install run that exits with 0, copy
//                                 this program to DIR\VERSION\setup.exe and
//                                 write "UninstallString" =
//                                 "DIR\VERSION\setup.exe" (with its double
//                                 quotes, no arguments) into the ClientState
//                                 key, so that a later patch run finds it and
//                                 its version.
//   STAND_IN_INSTALL_VERSION=V    VERSION above (default 1.0.0.0).
//   STAND_IN_HOLD_MS=N            before exiting, start a helper process that
//                                 keeps a file open without delete sharing for
//                                 N ms after this program has ended; this
//                                 program exits only once the file is open.
//   STAND_IN_HOLD_FILE=FILE       the file held (default: the archive in an
//                                 install run, the patch in a patch run;
//                                 "new-setup-exe": the new setup program a
//                                 patch run wrote; an install run then holds
//                                 nothing).
//   STAND_IN_HOLD_WRITE=1         the helper holds the file open for writing
//                                 too, as a scanner or sync client may.
//   STAND_IN_HOLDER_EXE=FILE      run the helper from a copy of this program
//                                 at FILE (default: this program's own file,
//                                 which the running helper then keeps in use
//                                 as well).
//   STAND_IN_NEW_SETUP_LINKED_FROM=FILE  patch run: write the new setup
//                                 program at FILE and give it the
//                                 new-setup-exe path as a second name (a
//                                 hard link), as an updater that keeps its
//                                 own copy may.
//   STAND_IN_LINK_ARCHIVE_TO=FILE install run: once the archive has been
//                                 checked, replace it by a second name (a hard
//                                 link) of FILE, as a setup program that
//                                 plants a link where the installer deletes.
//   STAND_IN_MOVE_SELF=1          install run: move this program's own file
//                                 aside and back, as an updater replacing
//                                 its own file does ("moved" then names it).
//   STAND_IN_LINGER_MS=N          after the report is written, stay N ms more
//                                 before exiting, so that a test can end the
//                                 process from outside (its pid is in the
//                                 report; "linger" says it is lingering).
//   STAND_IN_CRASH=1              after the report is written (and any
//                                 lingering), end with an access violation
//                                 instead of exiting: exit code 0xC0000005.
//   STAND_IN_LINGER_UNTIL=FILE    after the report is written, stay until
//                                 FILE exists (two minutes at most), so that
//                                 a test can act while the setup program
//                                 runs and then let it go ("linger_until"
//                                 in the report).
//   STAND_IN_HOLD_SHARE_DELETE=1  the helper of STAND_IN_HOLD_MS shares
//                                 delete access too, as a scanner or an
//                                 indexer does: the file may be deleted while
//                                 it is held.
//   STAND_IN_NEW_SETUP_LINK=junction|symlink  patch run: put a directory
//                                 junction or a file symbolic link at the
//                                 new-setup-exe path instead of a program
//                                 ("new_setup_link" in the report)...
//   STAND_IN_NEW_SETUP_LINK_TARGET=PATH  ...leading to PATH (a directory for
//                                 a junction), an absolute path.
//   STAND_IN_REPORT_ERROR_MODE=1  report the error mode it was started with
//                                 ("error_mode", decimal, as GetErrorMode
//                                 gives it).
//
// Exit codes of its own: 64 command line not understood, 65 the archive
// lacks the 7z signature, 66 the archive or patch does not exist, 73 a copy
// of this program could not be written, 74 the report, a registry value or
// the helper process failed. Otherwise 0 or the code it was told to use.
//
// Report: UTF-8 text, one "key=value" per line, LF-terminated. In values,
// "%" is written as %25, CR as %0D and LF as %0A; nothing else is escaped.
// Every run appends one block from "run=begin" to "run=end", so the patch
// run and the install run that follows share one file. Keys, in order:
//   mode            install | patch | usage-error
//   pid, exe, cwd   process id, this program's path, current directory
//   command_line    the raw command line
//   arg             each argument as split by CommandLineToArgvW, program
//                   name first (repeated)
//   env             each environment entry as NAME=VALUE (repeated)
//   archive_switch, archive, previous_version, referral_code   install run
//   patch, new_setup                                           patch run
//   own_arg         each of the installer's own arguments (repeated)
//   new_setup_link  the kind of link put at the new-setup-exe path
//   held            the file the helper holds, when one was started
//   holder_pid      the helper's process id (a test may end it early)
//   linked          the file the archive became a second name of
//   moved           this program's file, once moved aside and back
//   linger, crash   what it will do once the report is written
//   error_mode      the error mode it started with, when asked for
//   linger_until    the file it waits for once the report is written
//   error           what went wrong, when something did
//   exit            the exit code
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "../support/links.h"
#include "stand_in.h"

namespace {

std::wstring GetEnv(const wchar_t* name) {
  wchar_t small[512];
  DWORD n = GetEnvironmentVariableW(name, small, 512);
  if (n == 0) return std::wstring();
  if (n < 512) return std::wstring(small, n);
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(name, &value[0], n);
  value.resize(n);
  return value;
}

// A decimal number; false for anything else, so that a mistyped variable
// shows up instead of silently meaning 0.
bool ParseNumber(const std::wstring& text, DWORD* value) {
  if (text.empty() || text.size() > 10) return false;
  unsigned long long result = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    result = result * 10 + static_cast<unsigned>(c - L'0');
  }
  if (result > 0xFFFFFFFFull) return false;
  *value = static_cast<DWORD>(result);
  return true;
}

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      &out[0], n, nullptr, nullptr);
  return out;
}

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix,
                      std::wstring* rest) {
  const size_t n = lstrlenW(prefix);
  if (text.size() < n) return false;
  if (CompareStringOrdinal(text.c_str(), static_cast<int>(n), prefix,
                           static_cast<int>(n), TRUE) != CSTR_EQUAL) {
    return false;
  }
  *rest = text.substr(n);
  return true;
}

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  const DWORD n = GetModuleFileNameW(nullptr, &path[0], 32768);
  path.resize(n);
  return path;
}

class Report {
 public:
  void Add(const char* key, const std::wstring& value) {
    text_ += key;
    text_ += '=';
    for (char c : Utf8(value)) {
      if (c == '%') {
        text_ += "%25";
      } else if (c == '\r') {
        text_ += "%0D";
      } else if (c == '\n') {
        text_ += "%0A";
      } else {
        text_ += c;
      }
    }
    text_ += '\n';
  }
  // Appends the block to the file named by STAND_IN_REPORT, if any.
  bool Flush() {
    const std::wstring path = GetEnv(stand_in::kReport);
    if (path.empty()) return true;
    const HANDLE file = CreateFileW(
        path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text_.data(), static_cast<DWORD>(text_.size()),
                  &written, nullptr);
    CloseHandle(file);
    return ok && written == text_.size();
  }

 private:
  std::string text_ = "run=begin\n";
};

// The parsed command line of an install or patch run.
struct Request {
  bool patch = false;
  std::wstring archive_switch, archive, previous_version, referral_code;
  bool has_previous_version = false, has_referral_code = false;
  std::wstring patch_file, new_setup;
  std::vector<std::wstring> own_args;
};

bool ParseRequest(const std::vector<std::wstring>& args, Request* request) {
  if (args.size() < 2) return false;
  std::wstring value;
  size_t next = 2;
  if (StartsWithNoCase(args[1], L"--install-archive=", &value) ||
      StartsWithNoCase(args[1], L"--uncompressed-archive=", &value)) {
    request->archive_switch = args[1].substr(2, args[1].find(L'=') - 2);
    request->archive = value;
    if (value.empty()) return false;
    if (args.size() > 2 &&
        StartsWithNoCase(args[2], L"--previous-version=", &value)) {
      request->has_previous_version = true;
      request->previous_version = value;
      next = 3;
    }
    size_t end = args.size();
    if (end > next &&
        StartsWithNoCase(args[end - 1], L"--tarvo-referral-code=", &value)) {
      request->has_referral_code = true;
      request->referral_code = value;
      --end;
    }
    request->own_args.assign(args.begin() + next, args.begin() + end);
    return true;
  }
  if (args.size() >= 3 &&
      StartsWithNoCase(args[1], L"--update-setup-exe=", &request->patch_file) &&
      StartsWithNoCase(args[2], L"--new-setup-exe=", &request->new_setup)) {
    request->patch = true;
    next = 3;
    request->own_args.assign(args.begin() + next, args.end());
    return !request->patch_file.empty() && !request->new_setup.empty();
  }
  return false;
}

// 0 when the archive begins with the 7z signature, else the exit code.
DWORD CheckArchive(const std::wstring& path, std::wstring* error) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error =
        L"archive cannot be opened, error " + std::to_wstring(GetLastError());
    return stand_in::kExitNoInput;
  }
  unsigned char head[6] = {};
  DWORD read = 0;
  const BOOL ok = ReadFile(file, head, sizeof head, &read, nullptr);
  CloseHandle(file);
  static const unsigned char kSignature[6] = {0x37, 0x7A, 0xBC,
                                              0xAF, 0x27, 0x1C};
  if (!ok || read != sizeof head ||
      memcmp(head, kSignature, sizeof head) != 0) {
    *error = L"archive does not begin with the 7z signature";
    return stand_in::kExitNotAnArchive;
  }
  return 0;
}

bool IsExistingFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Opens (creating it) the ClientState key the environment names.
LONG OpenClientState(HKEY* key) {
  const std::wstring root = GetEnv(stand_in::kClientState);
  std::wstring guid = GetEnv(stand_in::kAppGuid);
  if (guid.empty()) guid = L"{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}";
  const HKEY root_key = lstrcmpiW(root.c_str(), L"HKLM") == 0
                            ? HKEY_LOCAL_MACHINE
                            : HKEY_CURRENT_USER;
  const std::wstring path = L"Software\\Quenby\\Update\\ClientState\\" + guid;
  return RegCreateKeyExW(root_key, path.c_str(), 0, nullptr, 0,
                         KEY_SET_VALUE | KEY_WOW64_32KEY, nullptr, key,
                         nullptr);
}

bool WriteInstallerResult(DWORD result, std::wstring* error) {
  HKEY key = nullptr;
  LONG status = OpenClientState(&key);
  if (status == ERROR_SUCCESS) {
    status =
        RegSetValueExW(key, L"InstallerResult", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&result), sizeof result);
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    *error = L"InstallerResult not written, error " + std::to_wstring(status);
  }
  return status == ERROR_SUCCESS;
}

// Copies this program to DIR\VERSION\setup.exe and records that path as the
// "UninstallString", as an installed product would.
DWORD InstallCopy(const std::wstring& directory, std::wstring* error) {
  std::wstring version = GetEnv(stand_in::kInstallVersion);
  if (version.empty()) version = L"1.0.0.0";
  const std::wstring folder = directory + L"\\" + version;
  CreateDirectoryW(directory.c_str(), nullptr);
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring target = folder + L"\\setup.exe";
  if (!CopyFileW(OwnPath().c_str(), target.c_str(), FALSE)) {
    *error = L"cannot copy to " + target + L", error " +
             std::to_wstring(GetLastError());
    return stand_in::kExitCannotCreate;
  }
  const std::wstring value = L"\"" + target + L"\"";
  HKEY key = nullptr;
  LONG status = OpenClientState(&key);
  if (status == ERROR_SUCCESS) {
    status = RegSetValueExW(
        key, L"UninstallString", 0, REG_SZ,
        reinterpret_cast<const BYTE*>(value.c_str()),
        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  if (status != ERROR_SUCCESS) {
    *error = L"UninstallString not written, error " + std::to_wstring(status);
    return stand_in::kExitIoError;
  }
  return 0;
}

// Patch run: the new setup program just written gives way to a link of
// the kind asked for, as a setup program that plants one where the
// installer starts the next program would leave it. 0 or the exit code.
DWORD ReplaceNewSetupByLink(const std::wstring& new_setup,
                            const std::wstring& kind,
                            const std::wstring& target, std::wstring* error) {
  if (target.empty() || (kind != L"junction" && kind != L"symlink")) {
    *error = L"a link needs the kind junction or symlink and a target";
    return stand_in::kExitUsage;
  }
  if (!DeleteFileW(new_setup.c_str()) ||
      !(kind == L"junction" ? links::MakeJunction(new_setup, target)
                            : links::MakeFileSymbolicLink(new_setup, target))) {
    *error = L"no " + kind + L" made at the new setup program's path, error " +
             std::to_wstring(GetLastError());
    return stand_in::kExitCannotCreate;
  }
  return 0;
}

// Starts the helper that holds the file, and returns once it has the file
// open (or has failed to open it).
bool StartHolder(const std::wstring& file, DWORD hold_ms, bool for_writing,
                 DWORD* holder_pid, std::wstring* error) {
  std::wstring program = OwnPath();
  const std::wstring copy = GetEnv(stand_in::kHolderExe);
  if (!copy.empty()) {
    if (!CopyFileW(program.c_str(), copy.c_str(), FALSE)) {
      *error = L"cannot copy the helper to " + copy;
      return false;
    }
    program = copy;
  }
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const HANDLE ready = CreateEventW(&inherit, TRUE, FALSE, nullptr);
  if (ready == nullptr) {
    *error = L"no event for the helper";
    return false;
  }
  std::wstring line = L"\"" + program + L"\" --stand-in-hold=\"" + file +
                      L"\" --stand-in-hold-ms=" + std::to_wstring(hold_ms) +
                      L" --stand-in-ready=" +
                      std::to_wstring(reinterpret_cast<ULONG_PTR>(ready)) +
                      (for_writing ? L" --stand-in-hold-write" : L"");
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    *error = L"helper not started, error " + std::to_wstring(GetLastError());
    CloseHandle(ready);
    return false;
  }
  CloseHandle(process.hThread);
  *holder_pid = process.dwProcessId;
  // The helper sets the event once the file is open, or ends without.
  HANDLE both[2] = {ready, process.hProcess};
  const DWORD woken = WaitForMultipleObjects(2, both, FALSE, 30000);
  CloseHandle(process.hProcess);
  CloseHandle(ready);
  if (woken != WAIT_OBJECT_0) {
    *error = L"the helper could not open " + file;
    return false;
  }
  return true;
}

// The helper: opens the file without delete sharing, says so, waits.
int Hold(const std::vector<std::wstring>& args) {
  std::wstring file, ms_text, ready_text;
  const bool for_writing =
      args.size() == 5 && args[4] == L"--stand-in-hold-write";
  if ((args.size() != 4 && !for_writing) ||
      !StartsWithNoCase(args[1], L"--stand-in-hold=", &file) ||
      !StartsWithNoCase(args[2], L"--stand-in-hold-ms=", &ms_text) ||
      !StartsWithNoCase(args[3], L"--stand-in-ready=", &ready_text)) {
    return stand_in::kExitUsage;
  }
  DWORD hold_ms = 0, ready_value = 0;
  if (!ParseNumber(ms_text, &hold_ms) ||
      !ParseNumber(ready_text, &ready_value)) {
    return stand_in::kExitUsage;
  }
  // Handle values fit 32 bits, which is what lets them cross to 32-bit
  // processes too.
  const HANDLE ready =
      reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ready_value));
  // The helper inherits the environment of the run that started it.
  const DWORD share_delete =
      GetEnv(stand_in::kHoldShareDelete) == L"1" ? FILE_SHARE_DELETE : 0;
  const HANDLE held = CreateFileW(
      file.c_str(), GENERIC_READ | (for_writing ? GENERIC_WRITE : 0),
      FILE_SHARE_READ | FILE_SHARE_WRITE | share_delete, nullptr, OPEN_EXISTING,
      FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return stand_in::kExitNoInput;
  SetEvent(ready);
  CloseHandle(ready);
  Sleep(hold_ms);
  CloseHandle(held);
  return 0;
}

int Run() {
  int argc = 0;
  const wchar_t* command_line = GetCommandLineW();
  wchar_t** argv = CommandLineToArgvW(command_line, &argc);
  std::vector<std::wstring> args;
  for (int i = 0; argv != nullptr && i < argc; ++i) args.emplace_back(argv[i]);
  if (argv != nullptr) LocalFree(argv);

  std::wstring ignored;
  if (args.size() > 1 &&
      StartsWithNoCase(args[1], L"--stand-in-hold=", &ignored)) {
    return Hold(args);
  }

  Request request;
  const bool understood = ParseRequest(args, &request);
  Report report;
  report.Add("mode", !understood     ? L"usage-error"
                     : request.patch ? L"patch"
                                     : L"install");
  report.Add("pid", std::to_wstring(GetCurrentProcessId()));
  report.Add("exe", OwnPath());
  {
    wchar_t cwd[32768];
    const DWORD n = GetCurrentDirectoryW(32768, cwd);
    report.Add("cwd", std::wstring(cwd, n < 32768 ? n : 0));
  }
  report.Add("command_line", command_line);
  for (const std::wstring& arg : args) report.Add("arg", arg);
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = block; *entry != L'\0';
         entry += lstrlenW(entry) + 1) {
      report.Add("env", entry);
    }
    FreeEnvironmentStringsW(block);
  }

  DWORD exit_code = 0;
  std::wstring error;
  if (!understood) {
    exit_code = stand_in::kExitUsage;
    error = L"command line not understood";
  } else if (request.patch) {
    report.Add("patch", request.patch_file);
    report.Add("new_setup", request.new_setup);
  } else {
    report.Add("archive_switch", request.archive_switch);
    report.Add("archive", request.archive);
    if (request.has_previous_version) {
      report.Add("previous_version", request.previous_version);
    }
    if (request.has_referral_code) {
      report.Add("referral_code", request.referral_code);
    }
  }
  for (const std::wstring& arg : request.own_args) report.Add("own_arg", arg);

  // What the environment asks for, read up front so that a mistyped value
  // fails the run rather than being ignored.
  DWORD chosen_code = 0, installer_result = 0, hold_ms = 0;
  bool has_result = false, has_hold = false;
  if (exit_code == 0) {
    const std::wstring code_text =
        GetEnv(request.patch ? stand_in::kPatchExitCode : stand_in::kExitCode);
    const std::wstring result_text = GetEnv(stand_in::kInstallerResult);
    const std::wstring hold_text = GetEnv(stand_in::kHoldMs);
    has_result = !result_text.empty();
    has_hold = !hold_text.empty();
    if ((!code_text.empty() && !ParseNumber(code_text, &chosen_code)) ||
        (has_result && !ParseNumber(result_text, &installer_result)) ||
        (has_hold && !ParseNumber(hold_text, &hold_ms))) {
      exit_code = stand_in::kExitUsage;
      error = L"an environment variable does not hold a decimal number";
    }
  }

  if (exit_code == 0) {
    if (request.patch) {
      if (!IsExistingFile(request.patch_file)) {
        exit_code = stand_in::kExitNoInput;
        error = L"patch file not found";
      }
    } else {
      exit_code = CheckArchive(request.archive, &error);
    }
  }
  if (exit_code == 0 && has_result &&
      !WriteInstallerResult(installer_result, &error)) {
    exit_code = stand_in::kExitIoError;
  }
  if (exit_code == 0 && chosen_code == 0) {
    if (request.patch) {
      const std::wstring linked_from = GetEnv(stand_in::kNewSetupLinkedFrom);
      const std::wstring& written =
          linked_from.empty() ? request.new_setup : linked_from;
      if (!CopyFileW(OwnPath().c_str(), written.c_str(), FALSE) ||
          (!linked_from.empty() &&
           !CreateHardLinkW(request.new_setup.c_str(), linked_from.c_str(),
                            nullptr))) {
        exit_code = stand_in::kExitCannotCreate;
        error = L"new setup program not written, error " +
                std::to_wstring(GetLastError());
      }
    } else {
      const std::wstring install_to = GetEnv(stand_in::kInstallTo);
      if (!install_to.empty()) exit_code = InstallCopy(install_to, &error);
    }
  }
  if (exit_code == 0 && chosen_code == 0 && request.patch) {
    const std::wstring link_kind = GetEnv(stand_in::kNewSetupLink);
    if (!link_kind.empty()) {
      exit_code =
          ReplaceNewSetupByLink(request.new_setup, link_kind,
                                GetEnv(stand_in::kNewSetupLinkTarget), &error);
      if (exit_code == 0) report.Add("new_setup_link", link_kind);
    }
  }
  std::wstring held = GetEnv(stand_in::kHoldFile);
  if (held.empty()) held = request.patch ? request.patch_file : request.archive;
  if (held == L"new-setup-exe") held = request.new_setup;
  if (exit_code == 0 && has_hold && !held.empty()) {
    report.Add("held", held);
    DWORD holder_pid = 0;
    if (!StartHolder(held, hold_ms, GetEnv(stand_in::kHoldWrite) == L"1",
                     &holder_pid, &error)) {
      exit_code = stand_in::kExitIoError;
    }
    report.Add("holder_pid", std::to_wstring(holder_pid));
  }
  if (exit_code == 0 && !request.patch) {
    const std::wstring link_to = GetEnv(stand_in::kLinkArchiveTo);
    if (!link_to.empty()) {
      if (!DeleteFileW(request.archive.c_str()) ||
          !CreateHardLinkW(request.archive.c_str(), link_to.c_str(), nullptr)) {
        exit_code = stand_in::kExitIoError;
        error = L"archive not replaced by a link, error " +
                std::to_wstring(GetLastError());
      } else {
        report.Add("linked", link_to);
      }
    }
  }
  if (exit_code == 0 && GetEnv(stand_in::kMoveSelf) == L"1") {
    // As an updater that replaces its own file does: aside, and back.
    const std::wstring self = OwnPath();
    const std::wstring aside = self + L".aside";
    if (!MoveFileW(self.c_str(), aside.c_str()) ||
        !MoveFileW(aside.c_str(), self.c_str())) {
      exit_code = stand_in::kExitCannotCreate;
      error = L"own file not moved aside and back, error " +
              std::to_wstring(GetLastError());
    } else {
      report.Add("moved", self);
    }
  }
  if (exit_code == 0) exit_code = chosen_code;

  DWORD linger_ms = 0;
  const std::wstring linger_text = GetEnv(stand_in::kLingerMs);
  if (!linger_text.empty() && !ParseNumber(linger_text, &linger_ms)) {
    exit_code = stand_in::kExitUsage;
    error = L"STAND_IN_LINGER_MS does not hold a decimal number";
  }
  const bool crash = GetEnv(stand_in::kCrash) == L"1";
  if (linger_ms != 0) report.Add("linger", std::to_wstring(linger_ms));
  if (crash) report.Add("crash", L"access-violation");

  if (GetEnv(stand_in::kReportErrorMode) == L"1") {
    report.Add("error_mode", std::to_wstring(GetErrorMode()));
  }
  const std::wstring linger_until = GetEnv(stand_in::kLingerUntil);
  if (!linger_until.empty()) report.Add("linger_until", linger_until);

  if (!error.empty()) report.Add("error", error);
  report.Add("exit", std::to_wstring(exit_code));
  report.Add("run", L"end");
  if (!report.Flush() && exit_code == 0) exit_code = stand_in::kExitIoError;
  for (int waited = 0;
       !linger_until.empty() && waited < 12000 &&
       GetFileAttributesW(linger_until.c_str()) == INVALID_FILE_ATTRIBUTES;
       ++waited) {
    Sleep(10);
  }
  if (linger_ms != 0) Sleep(linger_ms);
  if (crash) {
    // Started with the default error mode, as a real setup program is, the
    // fault would have Windows Error Reporting show its box and keep the
    // process suspended, and the run would wait for nobody.
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    // A store through a null pointer, read at run time so that the
    // compiler cannot turn it into a trap instruction: the way a real
    // program dies of a fault, with the exception code as its exit code.
    static volatile ULONG_PTR nowhere = 0;
    *reinterpret_cast<volatile int*>(nowhere) = 1;
  }
  return static_cast<int>(exit_code);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return Run(); }

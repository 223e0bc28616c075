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
//                 setup.exe --stand-in-tool="ARCHIVE NAME"
//                 setup.exe --stand-in-straggler=N --stand-in-ready=HANDLE
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
//   STAND_IN_REALISTIC=1          an install run does what ordinary setup
//                                 programs do, in this order:
//       files       opens the log "setup.log" beside itself first, writes
//                   to it through the run and keeps it open (without delete
//                   sharing) until it exits;
//       own-folder  makes its own folder the current directory once the
//                   archive is checked (refused: exit 67);
//       files       writes the folder "unpacked" beside itself, holding a
//                   file and the subfolder "res" with two files, one of
//                   them read-only;
//       tool        starts a tool (this program, internal mode) with its
//                   folder as the current directory, inheriting its
//                   handles, its output read through a pipe, and waits for
//                   it; the tool writes the current directory it got and
//                   lists it: another folder (under Wine a refused working
//                   directory silently becomes the Windows directory) or
//                   no archive in the listing is exit 67;
//       reread      once the report is written (and any lingering is over),
//                   opens the archive anew without sharing and reads it
//                   whole (missing: 66, not 7z: 65);
//       straggler   last, starts a copy of itself from its own file, in its
//                   folder, inheriting its handles, that stays
//                   STAND_IN_STRAGGLER_MS (default 300) after it runs;
//                   this program exits once it runs.
//   STAND_IN_WITHOUT=NAME,...     leaves out the behaviours named above.
//
// Exit codes of its own: 64 command line not understood, 65 the archive
// lacks the 7z signature, 66 the archive or patch does not exist, 67 its
// own folder cannot be worked in, 73 a copy of this program or a file
// beside it could not be written, 74 the report, a registry value or a
// process it starts failed. Otherwise 0 or the code it was told to use.
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
//   own_folder      the folder it made the current directory
//   tool_cwd        the current directory its tool got
//   tool_archive    seen | not listed | listing failed, error N
//   error           what went wrong, when something did
//   exit            the exit code
// What comes after the end of the block belongs to it too (ParseReport
// adds it to the last block), written once the report is and any lingering
// is over:
//   late_error, late_exit  what went wrong then, and the exit code instead
//   straggler_pid   the straggler's process id
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
  // What is added from here on follows the block already written.
  void Continue() { text_.clear(); }
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

// The behaviours of the realistic mode that a run carries out.
struct Realism {
  bool files = false, own_folder = false, tool = false, reread = false,
       straggler = false;
  DWORD straggler_ms = 300;
};

// False (with the reason) for a name STAND_IN_WITHOUT does not know, or a
// straggler time that is not a number, so that a typing error shows.
bool ReadRealism(Realism* realism, std::wstring* error) {
  if (GetEnv(stand_in::kRealistic) != L"1") return true;
  struct Named {
    const wchar_t* name;
    bool* on;
  } const behaviours[] = {{L"files", &realism->files},
                          {L"own-folder", &realism->own_folder},
                          {L"tool", &realism->tool},
                          {L"reread", &realism->reread},
                          {L"straggler", &realism->straggler}};
  for (const Named& behaviour : behaviours) *behaviour.on = true;
  const std::wstring without = GetEnv(stand_in::kWithout) + L",";
  for (size_t start = 0, comma;
       (comma = without.find(L',', start)) != std::wstring::npos;
       start = comma + 1) {
    const std::wstring name = without.substr(start, comma - start);
    bool known = name.empty();
    for (const Named& behaviour : behaviours) {
      if (name == behaviour.name) {
        *behaviour.on = false;
        known = true;
      }
    }
    if (!known) {
      *error = L"STAND_IN_WITHOUT names no behaviour " + name;
      return false;
    }
  }
  const std::wstring ms = GetEnv(stand_in::kStragglerMs);
  if (!ms.empty() && !ParseNumber(ms, &realism->straggler_ms)) {
    *error = L"STAND_IN_STRAGGLER_MS does not hold a decimal number";
    return false;
  }
  return true;
}

std::wstring FolderOf(const std::wstring& path) {
  return path.substr(0, path.rfind(L'\\'));
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// The log beside the setup program, open from its start to its exit, as
// setup programs keep theirs.
class Log {
 public:
  ~Log() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  bool Open(const std::wstring& path, std::wstring* error) {
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
      *error = L"log not opened, error " + std::to_wstring(GetLastError());
      return false;
    }
    return true;
  }
  void Line(const std::wstring& text) {
    if (file_ == INVALID_HANDLE_VALUE) return;
    const std::string line = Utf8(text) + "\r\n";
    DWORD written = 0;
    WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written,
              nullptr);
  }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
};

bool WriteNewFile(const std::wstring& path, const std::string& bytes,
                  DWORD attributes) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_NEW, attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(
      file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

// What a setup program unpacks beside itself: a folder, a subfolder, and a
// read-only file among the others. 0 or the exit code.
DWORD WriteUnpacked(const std::wstring& folder, std::wstring* error) {
  const std::wstring unpacked = folder + L"\\" + stand_in::kUnpackedName;
  const bool ok =
      CreateDirectoryW(unpacked.c_str(), nullptr) &&
      CreateDirectoryW((unpacked + L"\\res").c_str(), nullptr) &&
      WriteNewFile(unpacked + L"\\product.dat", std::string(65536, 'p'),
                   FILE_ATTRIBUTE_NORMAL) &&
      WriteNewFile(unpacked + L"\\res\\strings.txt", "strings\r\n",
                   FILE_ATTRIBUTE_NORMAL) &&
      WriteNewFile(unpacked + L"\\res\\licence.txt", "read only\r\n",
                   FILE_ATTRIBUTE_READONLY);
  if (!ok) {
    *error = L"files beside the setup program not written, error " +
             std::to_wstring(GetLastError());
    return stand_in::kExitCannotCreate;
  }
  return 0;
}

// Starts this program in an internal mode with folder as its current
// directory, inheriting this process's inheritable handles as setup
// programs' children commonly do; extra handles and output as the caller
// gives them.
bool StartInFolder(const std::wstring& folder, const std::wstring& arguments,
                   HANDLE output, PROCESS_INFORMATION* process,
                   std::wstring* error) {
  const std::wstring program = OwnPath();
  std::wstring line = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  if (output != nullptr) {
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  if (!CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE,
                      CREATE_NO_WINDOW, nullptr, folder.c_str(), &startup,
                      process)) {
    *error = L"process not started in its folder, error " +
             std::to_wstring(GetLastError());
    return false;
  }
  CloseHandle(process->hThread);
  return true;
}

// Runs the tool in folder and reports what it found. 0 or the exit code.
DWORD RunTool(const std::wstring& folder, const std::wstring& archive_name,
              Report* report, std::wstring* error) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    *error = L"no pipe for the tool";
    return stand_in::kExitIoError;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION tool = {};
  const bool started =
      StartInFolder(folder, L"--stand-in-tool=\"" + archive_name + L"\"",
                    write_end, &tool, error);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    return stand_in::kExitIoError;
  }
  std::wstring output;
  wchar_t chunk[1024];
  DWORD read = 0;
  while (ReadFile(read_end, chunk, sizeof chunk, &read, nullptr) && read > 0) {
    output.append(chunk, read / sizeof(wchar_t));
  }
  CloseHandle(read_end);
  DWORD code = 0xDEAD;
  WaitForSingleObject(tool.hProcess, 60000);
  GetExitCodeProcess(tool.hProcess, &code);
  CloseHandle(tool.hProcess);
  report->Add("tool_cwd", output);
  report->Add("tool_archive", code == 0   ? L"seen"
                              : code == 1 ? L"not listed"
                                          : L"listing failed, error " +
                                                std::to_wstring(code - 1000));
  if (!SamePath(output, folder)) {
    *error = L"the tool started in its folder got " + output;
    return stand_in::kExitOwnFolder;
  }
  if (code != 0) {
    *error = L"the tool did not see the archive in its folder";
    return stand_in::kExitOwnFolder;
  }
  return 0;
}

// The tool: writes the current directory it got to its output, and looks
// for the archive in a listing of it. 0 seen, 1 not listed, 1000 + the
// error when the folder cannot be listed.
int Tool(const std::vector<std::wstring>& args) {
  std::wstring name;
  if (args.size() != 2 ||
      !StartsWithNoCase(args[1], L"--stand-in-tool=", &name)) {
    return stand_in::kExitUsage;
  }
  wchar_t cwd[32768];
  DWORD n = GetCurrentDirectoryW(32768, cwd);
  if (n >= 32768) n = 0;
  // A root keeps its backslash; no other folder has one.
  if (n > 3 && cwd[n - 1] == L'\\') --n;
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), cwd, n * sizeof(wchar_t), &written,
            nullptr);
  WIN32_FIND_DATAW found;
  const HANDLE listing = FindFirstFileW(L"*", &found);
  if (listing == INVALID_HANDLE_VALUE) {
    return static_cast<int>(1000 + GetLastError());
  }
  bool seen = false;
  do {
    seen = seen || SamePath(found.cFileName, name);
  } while (FindNextFileW(listing, &found));
  FindClose(listing);
  return seen ? 0 : 1;
}

// Reads the archive whole through a handle opened anew that shares
// nothing, as an unpacker that wants it to itself does. 0 or the exit code.
DWORD ReadArchiveAlone(const std::wstring& path, std::wstring* error) {
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error =
        L"archive not opened again, error " + std::to_wstring(GetLastError());
    return stand_in::kExitNoInput;
  }
  static unsigned char block[65536];
  unsigned long long total = 0;
  bool signed_7z = false;
  DWORD read = 0;
  while (ReadFile(file, block, sizeof block, &read, nullptr) && read > 0) {
    static const unsigned char kSignature[6] = {0x37, 0x7A, 0xBC,
                                                0xAF, 0x27, 0x1C};
    if (total == 0) {
      signed_7z = read >= 6 && memcmp(block, kSignature, 6) == 0;
    }
    total += read;
  }
  CloseHandle(file);
  if (!signed_7z) {
    *error = L"archive read again does not begin with the 7z signature";
    return stand_in::kExitNotAnArchive;
  }
  return 0;
}

// The straggler: says it runs, then stays a moment.
int Straggle(const std::vector<std::wstring>& args) {
  std::wstring ms_text, ready_text;
  DWORD ms = 0, ready_value = 0;
  if (args.size() != 3 ||
      !StartsWithNoCase(args[1], L"--stand-in-straggler=", &ms_text) ||
      !StartsWithNoCase(args[2], L"--stand-in-ready=", &ready_text) ||
      !ParseNumber(ms_text, &ms) || !ParseNumber(ready_text, &ready_value)) {
    return stand_in::kExitUsage;
  }
  const HANDLE ready =
      reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ready_value));
  SetEvent(ready);
  CloseHandle(ready);
  Sleep(ms);
  return 0;
}

// Starts the straggler and returns once it runs.
bool StartStraggler(const std::wstring& folder, DWORD ms, DWORD* pid,
                    std::wstring* error) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  const HANDLE ready = CreateEventW(&inherit, TRUE, FALSE, nullptr);
  if (ready == nullptr) {
    *error = L"no event for the straggler";
    return false;
  }
  PROCESS_INFORMATION straggler = {};
  const bool started = StartInFolder(
      folder,
      L"--stand-in-straggler=" + std::to_wstring(ms) + L" --stand-in-ready=" +
          std::to_wstring(reinterpret_cast<ULONG_PTR>(ready)),
      nullptr, &straggler, error);
  bool running = false;
  if (started) {
    *pid = straggler.dwProcessId;
    HANDLE both[2] = {ready, straggler.hProcess};
    running = WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0;
    if (!running) *error = L"the straggler ended before it ran";
    CloseHandle(straggler.hProcess);
  }
  CloseHandle(ready);
  return running;
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
  if (args.size() > 1 &&
      StartsWithNoCase(args[1], L"--stand-in-tool=", &ignored)) {
    return Tool(args);
  }
  if (args.size() > 1 &&
      StartsWithNoCase(args[1], L"--stand-in-straggler=", &ignored)) {
    return Straggle(args);
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

  Realism realism;
  if (exit_code == 0 && !request.patch && !ReadRealism(&realism, &error)) {
    exit_code = stand_in::kExitUsage;
  }
  const std::wstring own_folder = FolderOf(OwnPath());
  Log log;
  if (exit_code == 0 && realism.files &&
      !log.Open(own_folder + L"\\" + stand_in::kLogName, &error)) {
    exit_code = stand_in::kExitCannotCreate;
  }
  log.Line(L"setup begins: " + std::wstring(command_line));

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
  if (exit_code == 0 && realism.own_folder) {
    if (SetCurrentDirectoryW(own_folder.c_str())) {
      report.Add("own_folder", own_folder);
      log.Line(L"working in " + own_folder);
    } else {
      exit_code = stand_in::kExitOwnFolder;
      error = L"its own folder not made the current directory, error " +
              std::to_wstring(GetLastError());
    }
  }
  if (exit_code == 0 && realism.files) {
    exit_code = WriteUnpacked(own_folder, &error);
    log.Line(L"unpacked");
  }
  if (exit_code == 0 && realism.tool) {
    exit_code = RunTool(
        own_folder, request.archive.substr(request.archive.rfind(L'\\') + 1),
        &report, &error);
    log.Line(L"tool ran");
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

  report.Continue();
  if (exit_code == 0 && realism.reread) {
    std::wstring late_error;
    const DWORD late = ReadArchiveAlone(request.archive, &late_error);
    log.Line(L"archive read again");
    if (late != 0) {
      report.Add("late_error", late_error);
      report.Add("late_exit", std::to_wstring(late));
      exit_code = late;
    }
  }
  if (realism.straggler) {
    std::wstring late_error;
    DWORD straggler_pid = 0;
    if (StartStraggler(own_folder, realism.straggler_ms, &straggler_pid,
                       &late_error)) {
      report.Add("straggler_pid", std::to_wstring(straggler_pid));
    } else {
      report.Add("late_error", late_error);
      if (exit_code == 0) {
        exit_code = stand_in::kExitIoError;
        report.Add("late_exit", std::to_wstring(exit_code));
      }
    }
  }
  report.Flush();
  log.Line(L"setup ends with " + std::to_wstring(exit_code));
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

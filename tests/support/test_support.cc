#include "test_support.h"

#include <sddl.h>
#include <winsafer.h>

#include <algorithm>

#include "setup_record.h"

namespace testing_support {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      &out[0], n);
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(),
                                    static_cast<int>(text.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                      &out[0], n, nullptr, nullptr);
  return out;
}

std::wstring WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return Widen(path);
  std::wstring out = L"Z:" + Widen(path);
  std::replace(out.begin(), out.end(), L'/', L'\\');
  return out;
}

std::wstring EnvironmentText(const char* name) {
  // In UTF-16 as the system keeps it: the narrow copy is in the ANSI code
  // page, which cannot hold a user folder named in another script.
  const std::wstring wide_name = Widen(name);
  wchar_t value[32768];
  const DWORD n = GetEnvironmentVariableW(wide_name.c_str(), value, 32768);
  return n == 0 || n >= 32768 ? std::wstring() : std::wstring(value, n);
}

std::wstring PathFromEnvironment(const char* name) {
  return WindowsPath(Narrow(EnvironmentText(name)));
}

std::wstring LongPath(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") == 0) return path;
  if (path.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC" + path.substr(1);
  return L"\\\\?\\" + path;
}

namespace {

// The temporary folder, without its backslash.
std::wstring TempFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, n <= MAX_PATH ? n : 0);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  return base;
}

}  // namespace

// Scratch folders are named LABEL-PID-SERIAL, so that the ones a program
// left can be told by its id.
void RemoveScratchDirsOf(DWORD pid) {
  const std::wstring base = TempFolder();
  const std::wstring middle = L"-" + std::to_wstring(pid) + L"-";
  for (const std::wstring& name : ListDirectory(base)) {
    const size_t last = name.rfind(L'-');
    if (last == std::wstring::npos || last == 0) continue;
    const size_t before = name.rfind(L'-', last - 1);
    if (before == std::wstring::npos ||
        name.compare(before, last - before + 1, middle) != 0) {
      continue;
    }
    RemoveTree(base + L"\\" + name);
  }
}

ScratchDir::ScratchDir(const std::wstring& label) {
  const std::wstring base = TempFolder();
  static LONG counter = 0;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const LONG serial = InterlockedIncrement(&counter);
    std::wstring candidate = base + L"\\" + label + L"-" +
                             std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(serial);
    if (CreateDirectoryW(candidate.c_str(), nullptr)) {
      // Windows may name the temporary folder by its short 8.3 names,
      // where the paths a program reports (and the installer builds from
      // a handle) are the long ones.
      wchar_t long_path[MAX_PATH + 1];
      const DWORD n =
          GetLongPathNameW(candidate.c_str(), long_path, MAX_PATH + 1);
      path_ = n > 0 && n <= MAX_PATH ? std::wstring(long_path, n) : candidate;
      return;
    }
  }
}

ScratchDir::~ScratchDir() {
  // A scanner or an indexer opens new files for a moment, and what it holds
  // cannot go yet: a few more passes rather than a tree left behind.
  for (int pass = 0; !path_.empty() && pass < 50; ++pass) {
    RemoveTree(path_);
    if (!Exists(path_)) return;
    Sleep(100);
  }
}

OpenDirectory::OpenDirectory(const std::wstring& path)
    : handle_(CreateFileW(
          path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE,
          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)) {}

OpenDirectory::~OpenDirectory() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

bool RunningOnWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr &&
         GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::wstring TokenOwnerSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"";
  alignas(TOKEN_OWNER) char block[512];
  DWORD size = 0;
  std::wstring result;
  if (GetTokenInformation(token, TokenOwner, block, sizeof(block), &size)) {
    wchar_t* text = nullptr;
    if (ConvertSidToStringSidW(reinterpret_cast<TOKEN_OWNER*>(block)->Owner,
                               &text)) {
      result = text;
      LocalFree(text);
    }
  }
  CloseHandle(token);
  return result;
}

std::wstring AccessListText(PSECURITY_DESCRIPTOR descriptor) {
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
          nullptr)) {
    return L"<conversion failed>";
  }
  std::wstring result = text;
  LocalFree(text);
  return result;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring MakeFolderOfLength(const std::wstring& base, size_t length) {
  std::wstring folder = base;
  while (folder.size() < length) {
    const size_t remaining = length - folder.size();
    if (remaining < 2) return std::wstring();  // no room for "\" + a name
    size_t take = std::min<size_t>(60, remaining - 1);
    // Never leave exactly one unit, which could only be a bare separator.
    if (remaining - (take + 1) == 1) --take;
    folder += L"\\" + std::wstring(take, L'd');
    if (!CreateDirectoryW(LongPath(folder).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return std::wstring();
    }
  }
  return folder;
}

void RemoveTree(const std::wstring& path) {
  // Trees of the path-length cases run past MAX_PATH.
  const std::wstring long_path = LongPath(path);
  const DWORD attributes = GetFileAttributesW(long_path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  SetFileAttributesW(long_path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    for (const std::wstring& name : ListDirectory(long_path)) {
      RemoveTree(long_path + L"\\" + name);
    }
    RemoveDirectoryW(long_path.c_str());
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveDirectoryW(long_path.c_str());
  } else {
    DeleteFileW(long_path.c_str());
  }
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  size_t offset = 0;
  bool ok = true;
  while (ok && offset < bytes.size()) {
    const DWORD chunk =
        static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, 1 << 24));
    DWORD written = 0;
    ok = WriteFile(file, bytes.data() + offset, chunk, &written, nullptr) &&
         written == chunk;
    offset += chunk;
  }
  CloseHandle(file);
  return ok;
}

std::string ReadFileBytes(const std::wstring& path) {
  std::string out;
  HANDLE file =
      CreateFileW(path.c_str(), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return out;
  char buffer[65536];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0) {
    out.append(buffer, read);
  }
  CloseHandle(file);
  return out;
}

std::vector<std::wstring> ListDirectory(const std::wstring& path) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = data.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// The current environment with the requested changes, as a sorted block.
std::wstring BuildEnvironmentBlock(const ChildOptions& options) {
  // Names compare case-insensitively on Windows; keep the first spelling.
  auto upper = [](std::wstring s) {
    for (wchar_t& c : s) c = static_cast<wchar_t>(towupper(c));
    return s;
  };
  std::map<std::wstring, std::pair<std::wstring, std::wstring>> by_key;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != 0; p += wcslen(p) + 1) {
    const std::wstring entry = p;
    const size_t eq = entry.find(L'=', 1);
    if (eq == std::wstring::npos) continue;
    by_key[upper(entry.substr(0, eq))] = {entry.substr(0, eq),
                                          entry.substr(eq + 1)};
  }
  FreeEnvironmentStringsW(block);
  for (const std::wstring& name : options.unset_env) by_key.erase(upper(name));
  for (const auto& [name, value] : options.set_env) {
    by_key[upper(name)] = {name, value};
  }
  std::wstring out;
  for (const auto& [key, entry] : by_key) {
    out += entry.first + L"=" + entry.second;
    out.push_back(L'\0');
  }
  out.push_back(L'\0');
  return out;
}

}  // namespace

ChildOutcome RunChild(const std::wstring& program,
                      const std::wstring& command_line,
                      const ChildOptions& options) {
  ChildOutcome outcome;
  BackgroundChild child;
  if (!child.Start(program, command_line, options)) {
    outcome.start_error = child.start_error();
    return outcome;
  }
  outcome.started = true;
  if (!child.Wait(options.timeout_ms, &outcome.exit_code)) {
    outcome.timed_out = true;
    child.Kill();
    outcome.exit_code = 0xDEAD;
  }
  return outcome;
}

namespace {

REGSAM View(bool view32) { return view32 ? KEY_WOW64_32KEY : 0; }

}  // namespace

bool DeleteKeyTree(HKEY root, const std::wstring& subkey, bool view32) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_ALL_ACCESS | View(view32),
                    &key) != ERROR_SUCCESS) {
    return true;  // nothing there
  }
  const LONG tree = RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  const LONG self = RegDeleteKeyExW(root, subkey.c_str(), View(view32), 0);
  return tree == ERROR_SUCCESS && self == ERROR_SUCCESS;
}

bool CreateKey(HKEY root, const std::wstring& subkey, bool view32) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS | View(view32), nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

bool KeyExists(HKEY root, const std::wstring& subkey, bool view32) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | View(view32), &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

bool SetRawValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                 DWORD type, const void* data, DWORD bytes, bool view32) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS | View(view32), nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG status =
      RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

bool SetStringValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                    const std::wstring& text, bool view32) {
  return SetRawValue(root, subkey, name, REG_SZ, text.c_str(),
                     static_cast<DWORD>((text.size() + 1) * 2), view32);
}

bool SetDwordValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                   DWORD value, bool view32) {
  return SetRawValue(root, subkey, name, REG_DWORD, &value, 4, view32);
}

bool GetRawValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                 DWORD* type, std::string* data, bool view32) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | View(view32), &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  DWORD size = 0;
  LONG status = RegQueryValueExW(key, name, nullptr, type, nullptr, &size);
  if (status == ERROR_SUCCESS) {
    data->assign(size, '\0');
    status = RegQueryValueExW(key, name, nullptr, type,
                              reinterpret_cast<BYTE*>(&(*data)[0]), &size);
    data->resize(size);
  }
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

std::wstring GetKeyAccessList(HKEY root, const std::wstring& subkey,
                              bool view32) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey.c_str(), 0, READ_CONTROL | View(view32),
                    &key) != ERROR_SUCCESS) {
    return std::wstring();
  }
  DWORD size = 0;
  RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
  std::vector<char> descriptor(size == 0 ? 1 : size);
  std::wstring text;
  if (RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(),
                        &size) == ERROR_SUCCESS) {
    wchar_t* converted = nullptr;
    if (ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
            &converted, nullptr)) {
      text = converted;
      LocalFree(converted);
    }
  }
  RegCloseKey(key);
  return text;
}

bool SetKeyAccessList(HKEY root, const std::wstring& subkey,
                      const std::wstring& access_list, bool view32) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          access_list.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
    return false;
  }
  HKEY key = nullptr;
  LONG status =
      RegOpenKeyExW(root, subkey.c_str(), 0, WRITE_DAC | View(view32), &key);
  if (status == ERROR_SUCCESS) {
    status = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor);
    RegCloseKey(key);
  }
  LocalFree(descriptor);
  return status == ERROR_SUCCESS;
}

std::wstring ClientStatePath(const wchar_t* app_guid) {
  return std::wstring(L"Software\\Quenby\\Update\\ClientState\\") + app_guid;
}

std::string Utf16Bytes(const std::wstring& text, bool terminator) {
  std::string out(reinterpret_cast<const char*>(text.c_str()), text.size() * 2);
  if (terminator) out.append(2, '\0');
  return out;
}

InstallerVariant::InstallerVariant(const std::wstring& target_path)
    : path_(target_path) {}

namespace {

void SplitResourceId(const wchar_t* id, std::wstring* text, WORD* number) {
  if (IS_INTRESOURCE(id)) {
    *number = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(id));
  } else {
    *text = id;
  }
}

}  // namespace

InstallerVariant& InstallerVariant::Add(const wchar_t* type,
                                        const wchar_t* name,
                                        const std::string& bytes,
                                        WORD language) {
  Entry entry{L"", 0, L"", 0, bytes, language};
  SplitResourceId(type, &entry.type, &entry.type_id);
  SplitResourceId(name, &entry.name, &entry.name_id);
  entries_.push_back(entry);
  return *this;
}

InstallerVariant& InstallerVariant::Add(const wchar_t* type, WORD id,
                                        const std::string& bytes,
                                        WORD language) {
  return Add(type, MAKEINTRESOURCEW(id), bytes, language);
}

InstallerVariant& InstallerVariant::PreviousVersion(const std::wstring& text) {
  entries_.push_back({L"", 10 /* RT_RCDATA */, L"", 1, Utf16Bytes(text), 1033});
  return *this;
}

InstallerVariant& InstallerVariant::SetupRecord(const std::string& program) {
  unsigned char record[kSetupRecordSize];
  MakeSetupRecord(DigestBytes(program.data(), program.size()), record);
  entries_.push_back(
      {L"", 10 /* RT_RCDATA */, L"", kSetupRecordId,
       std::string(reinterpret_cast<char*>(record), sizeof record), 1033});
  return *this;
}

bool InstallerVariant::Build() {
  // A scanner opens a freshly written program for a moment, and the
  // resource-update functions then meet a sharing conflict: try again.
  for (int attempt = 1;; ++attempt) {
    const DWORD error = BuildOnce();
    if (error == 0) return true;
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION &&
         error != ERROR_ACCESS_DENIED) ||
        attempt == 50) {
      return false;
    }
    Sleep(100);
  }
}

DWORD InstallerVariant::BuildOnce() {
  const std::wstring source = PathFromEnvironment("INSTALLER_EXE");
  if (source.empty()) {
    error_ = "INSTALLER_EXE is not set";
    return ERROR_ENVVAR_NOT_FOUND;
  }
  if (!CopyFileW(source.c_str(), path_.c_str(), FALSE)) {
    const DWORD error = GetLastError();
    error_ = "copying installer.exe failed: " + std::to_string(error);
    return error;
  }
  if (entries_.empty()) return 0;
  HANDLE update = BeginUpdateResourceW(path_.c_str(), FALSE);
  if (update == nullptr) {
    const DWORD error = GetLastError();
    error_ = "BeginUpdateResourceW failed: " + std::to_string(error);
    return error;
  }
  for (const Entry& entry : entries_) {
    const wchar_t* type = entry.type.empty() ? MAKEINTRESOURCEW(entry.type_id)
                                             : entry.type.c_str();
    const wchar_t* name = entry.name.empty() ? MAKEINTRESOURCEW(entry.name_id)
                                             : entry.name.c_str();
    if (!UpdateResourceW(update, type, name, entry.language,
                         const_cast<char*>(entry.bytes.data()),
                         static_cast<DWORD>(entry.bytes.size()))) {
      const DWORD error = GetLastError();
      error_ = "UpdateResourceW failed: " + std::to_string(error);
      EndUpdateResourceW(update, TRUE);
      return error;
    }
  }
  if (!EndUpdateResourceW(update, FALSE)) {
    const DWORD error = GetLastError();
    error_ = "EndUpdateResourceW failed: " + std::to_string(error);
    return error;
  }
  return 0;
}

HANDLE LimitedPrimaryToken() {
  HANDLE own = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(),
                        TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY,
                        &own)) {
    return nullptr;
  }
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  DWORD size = 0;
  GetTokenInformation(own, TokenElevationType, &type, sizeof type, &size);
  HANDLE primary = nullptr;
  if (type != TokenElevationTypeFull) {
    CloseHandle(own);
    SetLastError(0);
    return nullptr;
  }
  TOKEN_LINKED_TOKEN linked = {};
  if (GetTokenInformation(own, TokenLinkedToken, &linked, sizeof linked,
                          &size)) {
    DuplicateTokenEx(linked.LinkedToken, MAXIMUM_ALLOWED, nullptr,
                     SecurityImpersonation, TokenPrimary, &primary);
    CloseHandle(linked.LinkedToken);
  }
  if (primary == nullptr) {
    // Windows hands a process without the TCB privilege the linked token
    // at identification level only, which starts nothing. The nearest a
    // test can make of it: its own token with the administrators' rights
    // taken away, at medium integrity (elevation type "default").
    SAFER_LEVEL_HANDLE level = nullptr;
    if (SaferCreateLevel(SAFER_SCOPEID_USER, SAFER_LEVELID_NORMALUSER,
                         SAFER_LEVEL_OPEN, &level, nullptr)) {
      SaferComputeTokenFromLevel(level, own, &primary, 0, nullptr);
      SaferCloseLevel(level);
    }
    SID_IDENTIFIER_AUTHORITY label = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID medium = nullptr;
    if (primary != nullptr &&
        AllocateAndInitializeSid(&label, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0,
                                 0, 0, 0, 0, 0, &medium)) {
      TOKEN_MANDATORY_LABEL level_label = {};
      level_label.Label.Attributes = SE_GROUP_INTEGRITY;
      level_label.Label.Sid = medium;
      SetTokenInformation(primary, TokenIntegrityLevel, &level_label,
                          sizeof level_label + GetLengthSid(medium));
      FreeSid(medium);
    }
  }
  const DWORD error = GetLastError();
  CloseHandle(own);
  SetLastError(primary == nullptr && error == 0 ? ERROR_NO_TOKEN : error);
  return primary;
}

BackgroundChild::~BackgroundChild() { Kill(); }

bool BackgroundChild::Start(const std::wstring& program,
                            const std::wstring& command_line,
                            const ChildOptions& options) {
  Kill();
  start_error_ = 0;
  std::wstring environment = BuildEnvironmentBlock(options);
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  HANDLE output = INVALID_HANDLE_VALUE;
  if (!options.output_file.empty()) {
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    output = CreateFileW(options.output_file.c_str(), GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
      start_error_ = GetLastError();
      return false;
    }
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  PROCESS_INFORMATION process = {};
  HANDLE token = nullptr;
  if (options.token == ChildToken::kLimited) {
    token = LimitedPrimaryToken();
    if (token == nullptr && GetLastError() != 0) {
      start_error_ = GetLastError();
      return false;
    }
  }
  // Wine under load now and then fails a start with ERROR_INTERNAL_ERROR
  // before the child runs any code (seen in whole-suite runs, never alone);
  // the harness tries again rather than fail the case it was starting.
  for (int attempt = 0;; ++attempt) {
    const wchar_t* current = options.current_directory.empty()
                                 ? nullptr
                                 : options.current_directory.c_str();
    const BOOL inherit = output != INVALID_HANDLE_VALUE;
    const BOOL created =
        token != nullptr
            ? CreateProcessAsUserW(token, program.c_str(), line.data(), nullptr,
                                   nullptr, inherit, CREATE_UNICODE_ENVIRONMENT,
                                   &environment[0], current, &startup, &process)
            : CreateProcessW(program.c_str(), line.data(), nullptr, nullptr,
                             inherit, CREATE_UNICODE_ENVIRONMENT,
                             &environment[0], current, &startup, &process);
    if (created) break;
    start_error_ = GetLastError();
    if (start_error_ != ERROR_INTERNAL_ERROR || attempt == 2) {
      if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
      if (token != nullptr) CloseHandle(token);
      return false;
    }
    Sleep(200);
  }
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (token != nullptr) CloseHandle(token);
  CloseHandle(process.hThread);
  process_ = process.hProcess;
  return true;
}

bool BackgroundChild::Wait(DWORD timeout_ms, DWORD* exit_code) {
  if (process_ == nullptr) return false;
  if (WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0) return false;
  if (exit_code != nullptr) GetExitCodeProcess(process_, exit_code);
  return true;
}

void BackgroundChild::Kill() {
  if (process_ == nullptr) return;
  if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0) {
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 30000);
  }
  CloseHandle(process_);
  process_ = nullptr;
}

HeldFile::HeldFile(const std::wstring& path, long milliseconds) : path_(path) {
  const std::wstring tool = PathFromEnvironment("HOLD_FILE_EXE");
  if (tool.empty()) return;
  const std::wstring line =
      L"\"" + tool + L"\" \"" + path + L"\" " + std::to_wstring(milliseconds);
  if (!child_.Start(tool, line)) return;
  const std::wstring marker = path + L".held";
  // Generous: the holder only has to start; this is no timing assertion.
  for (int i = 0; i < 6000; ++i) {
    if (Exists(marker)) {
      held_ = true;
      return;
    }
    if (child_.Wait(10)) return;  // it ended without holding
  }
}

HeldFile::~HeldFile() { Release(); }

bool HeldFile::WaitReleased(DWORD timeout_ms) {
  DWORD code = 1;
  return child_.Wait(timeout_ms, &code) && code == 0;
}

void HeldFile::Release() {
  child_.Kill();
  DeleteFileW((path_ + L".held").c_str());
}

}  // namespace testing_support

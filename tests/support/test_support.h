// Shared helpers for the tests that run under Wine: scratch directories,
// child processes, registry state and installer variants.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

// "/a/b" as Wine sees it ("Z:\a\b"); Windows paths pass unchanged.
std::wstring WindowsPath(const std::string& unix_or_windows_path);
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

// The value of an environment variable; empty when it is missing.
std::wstring EnvironmentText(const char* name);
// The value of an environment variable that CTest sets, as a Windows path;
// the test fails (empty result) when it is missing.
std::wstring PathFromEnvironment(const char* name);
// path with the "\\?\" prefix, which lets the file functions of a program
// that is not long-path aware reach past MAX_PATH.
std::wstring LongPath(const std::wstring& path);

// A fresh, empty directory under the build tree's Wine temp folder, removed
// with everything in it when the object goes. Path ends without backslash.
class ScratchDir {
 public:
  explicit ScratchDir(const std::wstring& label = L"t");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::wstring& path() const { return path_; }
  std::wstring operator/(const std::wstring& name) const {
    return path_ + L"\\" + name;
  }

 private:
  std::wstring path_;
};

// Removes what ScratchDir objects of the process pid left in the
// temporary folder (a program ended before its objects went).
void RemoveScratchDirsOf(DWORD pid);

// A directory opened as the installer holds its folders (listing and
// traversal, sharing everything), for the components that work by name
// inside an open directory. Closed when the object goes.
class OpenDirectory {
 public:
  explicit OpenDirectory(const std::wstring& path);
  ~OpenDirectory();
  OpenDirectory(const OpenDirectory&) = delete;
  OpenDirectory& operator=(const OpenDirectory&) = delete;
  HANDLE handle() const { return handle_; }

 private:
  HANDLE handle_;
};

// True under Wine (its ntdll exports wine_get_version), which the cases
// that only Windows can decide skip themselves on.
bool RunningOnWine();
// The owner SID of this process's token (what a file it creates is owned
// by), in its string form; empty when it cannot be read.
std::wstring TokenOwnerSid();

// A security descriptor's access list in the security descriptor
// definition language ("D:..."), as the system writes it.
std::wstring AccessListText(PSECURITY_DESCRIPTOR descriptor);

// Removes a file or a directory tree, clearing read-only attributes.
void RemoveTree(const std::wstring& path);
bool Exists(const std::wstring& path);
// Creates nested folders under base until the deepest one's path is exactly
// length units long (no trailing backslash) and returns that path; empty
// when it cannot.
std::wstring MakeFolderOfLength(const std::wstring& base, size_t length);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
std::string ReadFileBytes(const std::wstring& path);
// Names (not paths) of the entries of a directory, sorted; "." and ".."
// left out.
std::vector<std::wstring> ListDirectory(const std::wstring& path);

// The token a child starts with. Wine gives every process the elevated
// half of a split token, and the Windows suite runs from an administrator
// prompt: kOwn hands that on, for the cases about elevation. kLimited
// starts the child as a double click does, with the limited half
// (TokenLinkedToken, CreateProcessAsUserW); see LimitedPrimaryToken.
enum class ChildToken { kOwn, kLimited };

// A primary token for a child started as a double click starts it, owned
// by the caller; null with the last error when none can be made. Null with
// the last error 0 when this process's own token is not an elevated one:
// it is then what a double click gives already.
HANDLE LimitedPrimaryToken();

struct ChildOptions {
  std::wstring current_directory;  // empty: the test's own
  // Environment changes for the child: a value sets, nullopt-like empty
  // entry in unset removes.
  std::map<std::wstring, std::wstring> set_env;
  std::vector<std::wstring> unset_env;
  DWORD timeout_ms = 120000;
  // When set, the child's standard output and error go to this file.
  std::wstring output_file;
  ChildToken token = ChildToken::kOwn;
};

struct ChildOutcome {
  bool started = false;
  bool timed_out = false;
  DWORD exit_code = 0;
  DWORD start_error = 0;
};

// Starts program with the exact command line given (program name included,
// as the child will see it) and waits for it.
ChildOutcome RunChild(const std::wstring& program,
                      const std::wstring& command_line,
                      const ChildOptions& options = ChildOptions());

// Registry, always in the 32-bit view when view32 is set.
bool DeleteKeyTree(HKEY root, const std::wstring& subkey, bool view32);
bool CreateKey(HKEY root, const std::wstring& subkey, bool view32);
bool KeyExists(HKEY root, const std::wstring& subkey, bool view32);
bool SetRawValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                 DWORD type, const void* data, DWORD bytes, bool view32);
bool SetStringValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                    const std::wstring& text, bool view32);
bool SetDwordValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                   DWORD value, bool view32);
// Raw value read: false when the key or value is absent.
bool GetRawValue(HKEY root, const std::wstring& subkey, const wchar_t* name,
                 DWORD* type, std::string* data, bool view32);

// A key's access list in the security descriptor definition language
// ("D:..."); empty when it cannot be read.
std::wstring GetKeyAccessList(HKEY root, const std::wstring& subkey,
                              bool view32);
// Replaces a key's access list with one written in that language.
bool SetKeyAccessList(HKEY root, const std::wstring& subkey,
                      const std::wstring& access_list, bool view32);

// The update client's per-application key for a channel GUID, and the
// values the installer touches there.
std::wstring ClientStatePath(const wchar_t* app_guid);

// A copy of the built installer.exe with chosen resources added, made with
// the Windows resource-update functions, so that a test can make whatever
// variant it needs without a build target of its own.
class InstallerVariant {
 public:
  // Copies the installer named by the INSTALLER_EXE environment variable.
  explicit InstallerVariant(const std::wstring& target_path);
  InstallerVariant& Add(const wchar_t* type, const wchar_t* name,
                        const std::string& bytes, WORD language = 1033);
  InstallerVariant& Add(const wchar_t* type, WORD id, const std::string& bytes,
                        WORD language = 1033);
  // The previous-version resource: RT_RCDATA 1, UTF-16 with terminator.
  InstallerVariant& PreviousVersion(const std::wstring& text);
  // The packer's record of the setup program to start (RT_RCDATA 2): the
  // digest of program's bytes, as the packer writes it.
  InstallerVariant& SetupRecord(const std::string& program);
  // Writes the file. False (with the reason in error()) when anything fails.
  bool Build();
  const std::wstring& path() const { return path_; }
  const std::string& error() const { return error_; }

 private:
  struct Entry {
    std::wstring type;
    WORD type_id;
    std::wstring name;
    WORD name_id;
    std::string bytes;
    WORD language;
  };
  // The copy and its resources once; 0, or the Windows error that failed.
  DWORD BuildOnce();
  std::wstring path_;
  std::vector<Entry> entries_;
  std::string error_;
};

// UTF-16 text with its terminator, as bytes.
std::string Utf16Bytes(const std::wstring& text, bool terminator = true);

// A child started without waiting for it; killed (when still running) and
// reaped when the object goes.
class BackgroundChild {
 public:
  BackgroundChild() = default;
  ~BackgroundChild();
  BackgroundChild(const BackgroundChild&) = delete;
  BackgroundChild& operator=(const BackgroundChild&) = delete;
  // Same command line and options as RunChild (timeout_ms is not used).
  // False with the reason in start_error().
  bool Start(const std::wstring& program, const std::wstring& command_line,
             const ChildOptions& options = ChildOptions());
  bool started() const { return process_ != nullptr; }
  DWORD start_error() const { return start_error_; }
  // True when the child has ended within timeout_ms; its exit code then
  // goes to *exit_code.
  bool Wait(DWORD timeout_ms, DWORD* exit_code = nullptr);
  // Ends the child if it still runs and waits for it to go.
  void Kill();

 private:
  HANDLE process_ = nullptr;
  DWORD start_error_ = 0;
};

// tests/tools/hold_file.exe (named by the HOLD_FILE_EXE environment
// variable) holding a file or directory open without sharing delete access,
// for milliseconds or, with -1, until the object goes. The constructor
// returns once the holder reports that it holds the path, or has ended.
class HeldFile {
 public:
  HeldFile(const std::wstring& path, long milliseconds);
  ~HeldFile();
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  bool held() const { return held_; }
  // Waits for the holder to let go and end; true when it ended normally.
  bool WaitReleased(DWORD timeout_ms = 60000);
  // Ends the holder at once, then removes its marker file.
  void Release();

 private:
  std::wstring path_;
  BackgroundChild child_;
  bool held_ = false;
};

}  // namespace testing_support

#include "launch_settings.h"

#include "argument_tail.h"
#include "client_state_key.h"
#include "system_library.h"
#include "wide_buf.h"

const wchar_t kStableAppGuid[] = L"{3D1F5A27-8C40-4E96-B1D3-7A2C95E0F418}";
const wchar_t kBetaAppGuid[] = L"{9B62E0C4-1F7A-4D35-8E29-C5B03A7D6E91}";
const wchar_t kDevAppGuid[] = L"{E4A7C913-6D28-4B5F-9A04-2F81D6C3B750}";
const wchar_t kSxsAppGuid[] = L"{5F08B3D6-A291-4C7E-8D65-E93F1B24A0C7}";

const wchar_t kCleanupPreferenceKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tarvo";
const wchar_t kCleanupPreferenceValue[] = L"KorvenInstallerCleanup";
const wchar_t kMachineWideVariable[] = L"TarvoSoftwareUpdateIsMachine";

namespace {

// Accepted only when it is a whole, terminated UTF-16 text.
const wchar_t* FindPreviousVersion(HMODULE module) {
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1),
                              MAKEINTRESOURCEW(10) /* RT_RCDATA */);
  if (found == nullptr) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  const DWORD size = SizeofResource(module, found);
  if (loaded == nullptr || size == 0 || size % 2 != 0) return nullptr;
  const wchar_t* text = static_cast<const wchar_t*>(LockResource(loaded));
  if (text == nullptr || text[size / 2 - 1] != 0) return nullptr;
  return text;
}

bool ReadDeletePreference() {
  WideBuf<2> preference;
  preference.units[1] = 0;
  const bool read =
      ReadStringFromKey(HKEY_CURRENT_USER, kCleanupPreferenceKey,
                        kCleanupPreferenceValue, preference.get(), 2);
  return !(read && preference.units[0] == L'0');
}

// shell32 is loaded from the system directory at run time rather than
// imported: resolving an import at start-up also resolves shell32's own
// imports, by the ordinary search that begins beside the installer, before
// anything could stop a planted library from being found there.
wchar_t** SplitCommandLine(const wchar_t* command_line, int* argc) {
  using CommandLineToArgvWFn = wchar_t**(WINAPI*)(const wchar_t*, int*);
  HMODULE shell32 = LoadSystemLibrary(L"shell32.dll");
  if (shell32 == nullptr) return nullptr;
  const CommandLineToArgvWFn split = reinterpret_cast<CommandLineToArgvWFn>(
      reinterpret_cast<void*>(GetProcAddress(shell32, "CommandLineToArgvW")));
  if (split == nullptr) return nullptr;
  return split(command_line, argc);
}

}  // namespace

LaunchSettings DefaultLaunchSettings() {
  LaunchSettings settings;
  settings.argv = nullptr;
  ResetLaunchSettings(&settings);
  return settings;
}

void ResetLaunchSettings(LaunchSettings* settings) {
  if (settings->argv != nullptr) {
    LocalFree(settings->argv);
    settings->argv = nullptr;
  }
  settings->app_guid = kStableAppGuid;
  settings->command_line = nullptr;
  settings->argc = 0;
  settings->system_level = false;
  settings->early_exit = false;
  settings->delete_extracted_files = true;
  settings->previous_version = nullptr;
  settings->program_name_length = 0;
  settings->token = PlainRunToken();
}

bool InitLaunchSettings(LaunchSettings* settings, HMODULE module) {
  ResetLaunchSettings(settings);
  settings->previous_version = FindPreviousVersion(module);
  settings->delete_extracted_files = ReadDeletePreference();
  settings->token = ReadRunToken();
  // A path that does not fit is not compared; Windows' rule then stands.
  PathBuf own_path;
  const DWORD length =
      GetModuleFileNameW(module, own_path.get(), kPathCapacity);
  if (length == 0 || length >= kPathCapacity) own_path.clear();
  return ParseLaunchCommandLine(settings, GetCommandLineW(), own_path.get());
}

size_t UnquotedOwnPathLength(const wchar_t* command_line,
                             const wchar_t* own_path) {
  if (command_line == nullptr || own_path == nullptr ||
      command_line[0] == L'"') {
    return 0;
  }
  const size_t length = TextLength(own_path);
  if (length == 0) return 0;
  for (size_t i = 0; i < length; ++i) {
    if (command_line[i] == 0) return 0;
  }
  const wchar_t after = command_line[length];
  if (after != 0 && after != L' ' && after != L'\t') return 0;
  return CompareStringOrdinal(command_line, static_cast<int>(length), own_path,
                              static_cast<int>(length), TRUE) == CSTR_EQUAL
             ? length
             : 0;
}

bool ParseLaunchCommandLine(LaunchSettings* settings,
                            const wchar_t* command_line,
                            const wchar_t* own_path) {
  settings->command_line = command_line;
  settings->program_name_length = UnquotedOwnPathLength(command_line, own_path);
  int argc = 0;
  wchar_t** argv = SplitCommandLine(command_line, &argc);
  if (argv == nullptr) return false;
  settings->argv = argv;
  settings->argc = argc;

  // The pieces of the program name come first; the user's own arguments,
  // and so the switches, begin after them.
  const int first_argument =
      settings->program_name_length == 0
          ? 1
          : ArgumentsInProgramName(command_line, settings->program_name_length);
  for (int i = first_argument; i < argc; ++i) {
    const wchar_t* arg = argv[i];
    if (lstrcmpiW(arg, L"--system-level") == 0) {
      settings->system_level = true;
    } else if (lstrcmpiW(arg, L"--korven-beta") == 0) {
      settings->app_guid = kBetaAppGuid;
    } else if (lstrcmpiW(arg, L"--korven-dev") == 0) {
      settings->app_guid = kDevAppGuid;
    } else if (lstrcmpiW(arg, L"--korven-sxs") == 0) {
      settings->app_guid = kSxsAppGuid;
    } else if (lstrcmpiW(arg, L"--cleanup") == 0 ||
               lstrcmpiW(arg, L"--korven-frame") == 0) {
      settings->early_exit = true;
    }
  }

  if (!settings->system_level) {
    // Two units hold one character and its terminator, so only the exact
    // text "1" comes back with length 1; longer values report their size.
    WideBuf<2> value;
    value.units[1] = 0;
    const DWORD n =
        GetEnvironmentVariableW(kMachineWideVariable, value.get(), 2);
    settings->system_level = (n == 1 && value.units[0] == L'1');
  }
  return true;
}

bool ReadStringFromKey(HKEY root, const wchar_t* subkey,
                       const wchar_t* value_name, wchar_t* buffer,
                       size_t capacity) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = 0;
  DWORD size = static_cast<DWORD>(capacity * 2);
  bool ok = RegQueryValueExW(key, value_name, nullptr, &type,
                             reinterpret_cast<BYTE*>(buffer),
                             &size) == ERROR_SUCCESS &&
            type == REG_SZ;
  if (ok) ok = TerminateRegistryText(buffer, capacity, size) == 0;
  RegCloseKey(key);
  return ok;
}

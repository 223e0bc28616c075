#include "system_library.h"

#include "wide_buf.h"

HMODULE LoadSystemLibrary(const wchar_t* name) {
  PathBuf path;
  const UINT length = GetSystemDirectoryW(path.get(), kPathCapacity);
  if (length == 0) return nullptr;
  if (length >= kPathCapacity ||
      !SafeAppend(path.get(), kPathCapacity, L"\\") ||
      !SafeAppend(path.get(), kPathCapacity, name)) {
    SetLastError(ERROR_BUFFER_OVERFLOW);
    return nullptr;
  }
  // The library's own imports come from the system directory alone where
  // the loader takes the flag for it (AddDllDirectory is exported exactly
  // where it does: Windows 8 and later, Windows 7 with its update);
  // elsewhere, by full path, they are looked for beside it, in the system
  // directory, before anywhere else.
  const bool system32_only = Kernel32Function("AddDllDirectory") != nullptr;
  return LoadLibraryExW(path.get(), nullptr,
                        system32_only ? LOAD_LIBRARY_SEARCH_SYSTEM32
                                      : LOAD_WITH_ALTERED_SEARCH_PATH);
}

namespace {

FARPROC ExportOf(const wchar_t* library, const char* name) {
  HMODULE module = GetModuleHandleW(library);
  return module == nullptr ? nullptr : GetProcAddress(module, name);
}

}  // namespace

FARPROC NtdllFunction(const char* name) { return ExportOf(L"ntdll.dll", name); }

FARPROC Kernel32Function(const char* name) {
  return ExportOf(L"kernel32.dll", name);
}

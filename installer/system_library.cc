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
  // By full path, the library's own imports are looked for beside it, in
  // the system directory, before anywhere else.
  return LoadLibraryExW(path.get(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

FARPROC NtdllFunction(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll == nullptr ? nullptr : GetProcAddress(ntdll, name);
}

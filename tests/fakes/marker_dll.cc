// A library that only reports being loaded: on attach it creates, beside
// its own file, "<its file>.<program name>.loaded". Copied under the names
// of libraries that the installer or the system libraries it calls might
// search for, it shows whether any planted copy was picked up, and by which
// program.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" BOOL WINAPI MarkerEntry(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  wchar_t marker[MAX_PATH * 2];
  DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return TRUE;
  wchar_t program[MAX_PATH];
  const DWORD program_length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  const wchar_t* name = program;
  for (DWORD i = 0; i < program_length; ++i) {
    if (program[i] == L'\\') name = program + i + 1;
  }
  marker[length++] = L'.';
  for (const wchar_t* p = name; *p != 0 && length < MAX_PATH * 2 - 8; ++p) {
    marker[length++] = *p;
  }
  const wchar_t suffix[] = L".loaded";
  for (const wchar_t* p = suffix; *p != 0; ++p) marker[length++] = *p;
  marker[length] = 0;
  HANDLE file = CreateFileW(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return TRUE;
}

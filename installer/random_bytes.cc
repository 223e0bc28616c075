#include "random_bytes.h"

#include "system_library.h"

bool DrawRandomBytes(void* buffer, ULONG length) {
  using GenRandomFn = BOOLEAN(WINAPI*)(PVOID, ULONG);
  // Windows resolves a forwarder to a library that is already loaded by
  // that library; where there is no such file (Wine's advapi32 generates
  // the bytes itself), nothing is lost.
  LoadSystemLibrary(L"cryptbase.dll");
  // advapi32 is imported for the registry, so it is always there.
  HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
  if (advapi32 == nullptr) return false;
  const GenRandomFn generate = reinterpret_cast<GenRandomFn>(
      reinterpret_cast<void*>(GetProcAddress(advapi32, "SystemFunction036")));
  return generate != nullptr && generate(buffer, length) != FALSE;
}

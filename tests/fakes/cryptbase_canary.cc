// The canary of cryptbase.dll: the marker library (marker_dll.cc) that also
// exports SystemFunction036, the function that advapi32 forwards to
// cryptbase.dll on Windows. A program importing it needs the export to
// start at all: without it the loader would fail the start before any
// DllMain ran, and the canary would show nothing.
#include <windows.h>

extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length) {
  // Not random: whoever calls the canary only needs the call to succeed.
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  for (ULONG i = 0; i < length; ++i) {
    bytes[i] = static_cast<unsigned char>(i * 37 + 11);
  }
  return TRUE;
}
